#pragma once
// family-data.json: loaded once at start, written by the saver thread within
// about 400 ms of every change, always through family-data.json.tmp and a rename.
#include <string>

// Fills stateDoc from the data file (start-up only, before other threads run)
// and prints exactly one load message. A data file that is not a file (a
// folder, a named pipe, a device, a socket) is never opened: the calendar
// starts empty and saves wait until it is moved.
void loadDataFile();

enum class SaveResult {
  nothingToSave,  // nothing changed since the last save
  saved,
  failed,  // the changes are not on disk (the console says why); stateDirty stays set
};

// One pass of the saver: when stateDirty was set, writes the whole document,
// through a temporary file beside the file it replaces (when family-data.json
// is a link: beside the file it links to, so the link stays). A save that
// fails sets stateDirty again so the next pass retries it; `last` leaves the
// retry out of its console line. Takes the saver's own mutex for the whole
// save (so a save never begins while another is in progress), and under it
// stateMutex while the document becomes text, but no lock of the state for
// the disk.
SaveResult saveIfDirty(bool last = false);

// True when an object anywhere in the JSON text holds the same key twice
// (the parse keeps only the last). `text` has already been parsed whole.
bool holdsRepeatedKey(const std::string& text);

// The saver thread's body: saveIfDirty every 400 ms, forever. Its own flags
// (a failing streak, a protected file) are the saver's alone.
void saveLoop();

// The stop thread's body: waits for a request to stop (Ctrl-C, a closed
// window, SIGTERM), then refuses every later write, makes the last save
// (after the one in progress, if any) and ends the process. Writes answered
// {"ok":true} before are all in that save.
void stopWhenAsked();
