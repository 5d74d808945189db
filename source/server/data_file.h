#pragma once
// family-data.json: loaded once at start, written by the saver thread within
// about 400 ms of every change, always through family-data.json.tmp and a rename.

// Fills stateDoc from the data file (start-up only, before other threads run)
// and prints exactly one load message.
void loadDataFile();

// One pass of the saver: when stateDirty was set, writes the whole document.
// A save that fails sets stateDirty again so the next pass retries it. Takes
// stateMutex while the document becomes text, and no lock for the disk.
void saveIfDirty();

// The saver thread's body: saveIfDirty every 400 ms, forever. Its own flags
// (a failing streak, a protected file) are the saver's alone.
void saveLoop();
