// The hand-over of the serial library's worker-thread calls into the Qt event loop.
#pragma once

// Makes the calling thread the serial library's main thread, lets worker threads wake the Qt
// event loop to run their handed-over calls, and shows exceptions that reach it in the error box.
void installHandOver();

// Handles every pending window message and every handed-over call once; with waitForMore, first
// sleeps until a message arrives. Every wait of the program that keeps the window alive runs this.
void processMessages(bool waitForMore = false);
