#pragma once
// Console output.
#include <string>

// Writes `text`, a line end, and flushes; all console output goes through here.
// Takes no lock of ours; called from any thread, with or without locks held.
void printLine(const std::string& text);

// `text` fit to print as one console line: every control character (C0 and
// DEL, and C1 written in UTF-8), and every byte that is not part of valid
// UTF-8, becomes a space. For texts from items and from the internet, which
// could otherwise break the line or send escape codes to the terminal.
std::string consoleSafe(const std::string& text);
