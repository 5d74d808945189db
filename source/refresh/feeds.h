#pragma once
// The linked-calendar refresh: every feeds item's calendar into
// feedEvents/<feed id>, then the removal of items whose feed is gone.
#include <string>

// One run over every linked calendar, then the sweep of orphaned feedEvents.
// The caller holds refreshWorkMutex; takes stateMutex only to copy the feeds,
// to store each calendar and for the sweep, never across a fetch.
void refreshFeeds();

// The link a feed is fetched from: trimmed link in, webcal:// and webcals://
// rewritten to https://. Throws with the household's message when the link
// is not one of https://, http://, webcal://, webcals:// (any letter case).
std::string applyLinkRules(const std::string& link);

// True when the calendar text is whole: its last event is closed, and
// END:VCALENDAR follows it. A download cut off part way (which curl cannot
// tell from a whole one when the site sent no length) is not.
bool isWholeCalendar(const std::string& text);
