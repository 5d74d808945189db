#pragma once
// Console output and the one definition of a blank character.
#include <string>

// Writes `text`, a line end, and flushes; all console output goes through here.
void printLine(const std::string& text);

// `text` without leading and trailing space, tab, carriage return and line feed.
std::string trimBlanks(std::string text);
