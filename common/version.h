#pragma once
// The release's version, one text for the agent, ivrac and the settings program.
#define IVRA_VERSION_TEXT "0.2.12"
