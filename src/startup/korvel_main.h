#pragma once

// Starts the relay and runs it until its window is closed (or a service stop arrives).
// Returns the process exit status: 0 after a normal end, 1 when start-up failed.
int KorvelMain(int argc, char** argv);
