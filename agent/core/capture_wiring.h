#pragma once
// Connects the capture thread and the still jobs to the modules above them: the thread's
// messages and timer go to the still jobs and the clip session, a still's sounds to the
// capture sounds, a region pick to the overlay.

// Fills the capture thread's consumers and the still jobs' hooks. Once at start-up,
// before capture_thread_start; calling it again changes nothing.
void capture_wiring_install(void);
