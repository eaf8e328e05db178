// Keeping secrets held in memory out of core files.
#pragma once

// Turns core files off for the rest of the process (on Linux a core limit of 0), so
// tokens in memory never reach one. Never raises.
void KeepCoreFilesOff();
