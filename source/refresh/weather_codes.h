#pragma once
// WMO weather interpretation codes, as the forecast service reports them, to
// the icon and short text the weather item shows.

struct WeatherCodeInfo {
  const char* icon;  // one emoji, a single code point, UTF-8
  const char* text;  // short English description
};

// The table's row for `code`, or the cloud icon with "Weather" for any other code.
WeatherCodeInfo describeWeatherCode(int code);
