// The agent's five capture sounds, synthesised once per process as 16-bit mono
// 48 kHz WAV images in memory and played asynchronously from there.
#pragma once

#include <cstddef>

enum sound_id { SOUND_CHIME, SOUND_WARNING, SOUND_START, SOUND_CANCEL, SOUND_TICK, SOUND_COUNT };

// Writes the complete WAV image (44-byte header and samples) of the sound into out
// and returns its byte count, or 0 when cap is too small. Pure: touches no Win32 call.
size_t sounds_make(sound_id id, unsigned char* out, size_t cap);

// Byte count of the sound's WAV image (what sounds_make needs), 0 for an unknown id.
size_t sounds_wav_size(sound_id id);

// True when IVRA_DUMP_CHIME's value (null when unset) asks for the dump files: it
// begins with "1". Pure.
bool sounds_dump_asked(const wchar_t* value);

// The sound's image, made on first use (once, also under concurrent first use);
// dumps it when IVRA_DUMP_CHIME asks for that: %TEMP%\ivra_chime.wav, ivra_warn.wav,
// ivra_start.wav, ivra_cancel.wav or ivra_tick.wav, replaced, with a log line.
const unsigned char* sounds_image(sound_id id, size_t* size);

// Makes all five sounds now (at start-up), so that no capture waits for one.
void sounds_prepare(void);

// Plays the sound from memory without waiting; a new sound cuts off one still playing.
// Failures are ignored. Nothing plays while sounds are held (below).
void sounds_play(sound_id id);
inline void sounds_play_chime(void) { sounds_play(SOUND_CHIME); }
inline void sounds_play_warning(void) { sounds_play(SOUND_WARNING); }
inline void sounds_play_start_chime(void) { sounds_play(SOUND_START); }
inline void sounds_play_cancel(void) { sounds_play(SOUND_CANCEL); }
inline void sounds_play_tick(void) { sounds_play(SOUND_TICK); }

// While the hold count is above zero no sound plays (a recording hears the speakers
// through endpoint loopback). Each hold is paired with a release.
void sounds_hold(bool on);

// Sounds played and sounds skipped by a hold since the process started. With
// IVRA_DEBUG_HOOKS=1 each one also logs "debug: sound <name> played" or "... held".
void sounds_counts(unsigned long* played, unsigned long* held);
