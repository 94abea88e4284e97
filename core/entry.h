// The program's entry and start-up decision: run-once guard, battery monitor,
// startup mode, published facts, then charging mode, boot or power-off.
#pragma once

// Runs the whole program on the calling (main) thread; returns the exit
// status (0), or 2 when the host build has no device root.
int lumoMain();
