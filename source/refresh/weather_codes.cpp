#include "refresh/weather_codes.h"

#include <map>

namespace {

const char* const kSun = "\u2600";
const char* const kSunBehindSmallCloud = "\U0001F324";
const char* const kSunBehindCloud = "\u26C5";
const char* const kCloud = "\u2601";
const char* const kFog = "\U0001F32B";
const char* const kSunBehindRainCloud = "\U0001F326";
const char* const kRainCloud = "\U0001F327";
const char* const kSnowCloud = "\U0001F328";
const char* const kSnowflake = "\u2744";
const char* const kThunderCloud = "\u26C8";

struct WeatherCodeRow {
  int code;
  const char* icon;
  const char* text;
};

const WeatherCodeRow kWeatherCodes[] = {
    {0, kSun, "Clear"},
    {1, kSunBehindSmallCloud, "Mostly clear"},
    {2, kSunBehindCloud, "Partly cloudy"},
    {3, kCloud, "Cloudy"},
    {45, kFog, "Fog"},
    {48, kFog, "Fog"},
    {51, kSunBehindRainCloud, "Drizzle"},
    {53, kSunBehindRainCloud, "Drizzle"},
    {55, kSunBehindRainCloud, "Drizzle"},
    {56, kRainCloud, "Freezing drizzle"},
    {57, kRainCloud, "Freezing drizzle"},
    {61, kRainCloud, "Light rain"},
    {63, kRainCloud, "Rain"},
    {65, kRainCloud, "Heavy rain"},
    {66, kRainCloud, "Freezing rain"},
    {67, kRainCloud, "Freezing rain"},
    {71, kSnowCloud, "Light snow"},
    {73, kSnowCloud, "Snow"},
    {75, kSnowflake, "Heavy snow"},
    {77, kSnowCloud, "Snow grains"},
    {80, kSunBehindRainCloud, "Showers"},
    {81, kRainCloud, "Showers"},
    {82, kThunderCloud, "Heavy showers"},
    {85, kSnowCloud, "Snow showers"},
    {86, kSnowflake, "Snow showers"},
    {95, kThunderCloud, "Thunderstorms"},
    {96, kThunderCloud, "Thunderstorms"},
    {99, kThunderCloud, "Thunderstorms"},
};

}  // namespace

WeatherCodeInfo describeWeatherCode(int code) {
  // Built once, on first use (thread-safe), and only read after that.
  static const std::map<int, WeatherCodeInfo> weatherCodeMap = [] {
    std::map<int, WeatherCodeInfo> map;
    for (const WeatherCodeRow& row : kWeatherCodes) map.emplace(row.code, WeatherCodeInfo{row.icon, row.text});
    return map;
  }();
  auto found = weatherCodeMap.find(code);
  if (found == weatherCodeMap.end()) return WeatherCodeInfo{kCloud, "Weather"};
  return found->second;
}
