#pragma once
// What corvactl needs of the terminal, the same on Unix and on Windows.
#include <cstdio>
#include <functional>

// Ctrl-C (and SIGTERM, or Ctrl-Break and closing the console window on
// Windows) call `onStop` from the event loop, so that a continuous download
// can end at its next pause and close the device. False when it cannot be set up.
bool catchStopSignals(std::function<void()> onStop);

bool isTerminal(std::FILE* stream);

// Standard output takes bytes as they are: no LF to CR LF on Windows, which
// would spoil pictures and the log's own CR LF.
void binaryStdout();
