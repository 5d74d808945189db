#pragma once
// The weather refresh: the household's place to coordinates (remembered while
// the place text stays the same), then the forecast into live/weather.
#include <string>

// One weather run: settings/main -> place lookup -> forecast -> live/weather.
// Records its failures in the item and on the console; never throws. The
// caller holds refreshWorkMutex; takes stateMutex only to read settings/main
// and to store live/weather, never across a fetch.
void refreshWeather();

// The last successful place lookup. Memory only; guarded by refreshWorkMutex.
// Exported for tests, which empty it and read it; only runs write it.
struct GeocodeCache {
  std::string place;  // the trimmed place text it was made for; empty at start
  double latitude = 0;
  double longitude = 0;
  std::string label;  // "name", or "name, admin1"
};

extern GeocodeCache geocodeCache;

// Pieces of a run, exposed so they can be checked on their own.

// Each byte except ASCII letters, digits and "-._~" as %XX (upper-case hex).
std::string percentEncode(const std::string& text);
// A coordinate as the forecast query writes it: like printf("%.6g").
std::string formatCoordinate(double value);
// Nearest whole number, halves away from zero; throws when out of range.
long long roundTemperature(double value);
