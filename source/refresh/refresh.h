#pragma once
// The internet refreshes: the weather item and the linked calendars.

// One weather run: settings/main -> place lookup -> forecast -> live/weather.
// Records its failures in the item and on the console; never throws.
void refreshWeather();
// One run over every linked calendar, then the sweep of orphaned feedEvents.
void refreshFeeds();
// The scheduler thread's body: both refreshes at start, every 900 seconds and
// when a refresh is requested. Never returns.
void refreshLoop();
