#include "refresh/weather.h"

#include <cmath>
#include <cstdint>
#include <new>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "refresh/fetch.h"
#include "refresh/refresh_util.h"
#include "refresh/weather_codes.h"
#include "server/console.h"
#include "server/json_text.h"
#include "server/state.h"
#include "text/text_util.h"

using nlohmann::json;

GeocodeCache geocodeCache;

namespace {

// Hosts of the two Open-Meteo services (always reached over https).
const char* const kGeocodingHost = "geocoding-api.open-meteo.com";
const char* const kForecastHost = "api.open-meteo.com";

const char* const kUnreadableAnswer = "The weather service sent an answer that could not be read. Try again later.";
const char* const kIncompleteForecast = "The weather service sent an incomplete forecast. Try again later.";

}  // namespace

std::string percentEncode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                      (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(hex[byte >> 4]);
      out.push_back(hex[byte & 15]);
    }
  }
  return out;
}

std::string formatCoordinate(double value) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << value;
  return out.str();
}

long long roundTemperature(double value) {
  // llround is undefined past the range of long long; no real temperature
  // comes near it, so such a value means a broken answer.
  if (!std::isfinite(value) || std::fabs(value) > 1e15) {
    throw std::runtime_error("The weather service sent a temperature that is out of range. Try again later.");
  }
  return std::llround(value);
}

namespace {

// Member access where a missing member reads as null; a value that is not an
// object (null aside) throws the library's type error.
const json& memberOf(const json& value, const char* key) {
  static const json none;
  if (value.is_null()) return none;
  if (!value.is_object()) return value[key];  // throws for the wrong type
  auto found = value.find(key);
  return found == value.end() ? none : *found;
}

// Element access where a missing element reads as null; a value that is not
// an array (null aside) throws the library's type error.
const json& elementOf(const json& value, std::size_t index) {
  static const json none;
  if (value.is_null()) return none;
  if (!value.is_array()) return value[index];  // throws for the wrong type
  return index < value.size() ? value[index] : none;
}

// A weather code read as a whole number; numbers beyond the code range are
// simply not in the table.
int weatherCodeOf(const json& value) {
  if (value.is_number_float()) {
    double code = value.get<double>();
    if (!(code > -2147483648.0 && code < 2147483648.0)) return -1;
  } else if (value.is_number_unsigned()) {
    if (value.get<std::uint64_t>() > 2147483647u) return -1;
  } else if (value.is_number_integer()) {
    std::int64_t code = value.get<std::int64_t>();
    if (code < -2147483647 - 1 || code > 2147483647) return -1;
  }
  return value.get<int>();  // throws the library's type error for non-numbers
}

// The service's answer as JSON; the household's message when it is empty or
// not JSON (an error page of a proxy, a body cut short, curl's own words).
json parseAnswer(const FetchResult& fetched) {
  if (trimBlanks(fetched.body).empty()) {
    throw std::runtime_error("The weather service sent an empty answer. Try again later.");
  }
  try {
    return parseBounded(fetched.body, kMaxItemDepth);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    throw std::runtime_error(kUnreadableAnswer);
  }
}

std::string serviceFailure(const FetchResult& result) {
  if (!result.error.empty()) return result.error;
  return "The weather service did not answer (error " + std::to_string(result.status) + ").";
}

// A result of the geocoding answer matches the hint through its region,
// country or country code.
bool matchesHint(const json& result, const std::string& hint) {
  if (!result.is_object()) return false;
  for (const char* key : {"admin1", "country", "country_code"}) {
    auto found = result.find(key);
    if (found != result.end() && found->is_string() &&
        startsWith(toLowerAscii(found->get<std::string>()), hint)) {
      return true;
    }
  }
  return false;
}

void lookUpPlace(const std::string& placeText) {
  std::size_t comma = placeText.find(',');
  std::string town = trimBlanks(placeText.substr(0, comma));
  std::string hint = comma == std::string::npos ? std::string()
                                                 : toLowerAscii(trimBlanks(placeText.substr(comma + 1)));

  FetchResult fetched = fetchUrl(std::string("https://") + kGeocodingHost +
                                 "/v1/search?count=10&language=en&name=" + percentEncode(town));
  if (!fetched.ok) throw std::runtime_error(serviceFailure(fetched));

  json answer = parseAnswer(fetched);
  if (!answer.is_object() || !answer.contains("results") || answer["results"].empty()) {
    throw std::runtime_error("Could not find a town called \"" + placeText + "\". Try just the town name.");
  }
  double latitude = 0;
  double longitude = 0;
  std::string label;
  try {
    const json& results = answer["results"];
    const json* chosen = &results[0];  // throws when "results" is not an array
    if (!hint.empty()) {
      for (const json& result : results) {
        if (matchesHint(result, hint)) {
          chosen = &result;
          break;
        }
      }
    }
    latitude = chosen->value("latitude", 0.0);
    longitude = chosen->value("longitude", 0.0);
    label = chosen->value("name", placeText);
    auto admin1 = chosen->find("admin1");
    if (admin1 != chosen->end() && admin1->is_string()) label += ", " + admin1->get<std::string>();
  } catch (const nlohmann::json::exception&) {
    throw std::runtime_error(kUnreadableAnswer);
  }

  geocodeCache = GeocodeCache{placeText, latitude, longitude, label};
}

void runWeather() {
  std::string placeText;
  std::string unitWord = "fahrenheit";
  json settings = getItem("settings", "main");
  if (settings.is_object()) {
    auto weather = settings.find("weather");
    if (weather != settings.end() && weather->is_object()) {
      auto place = weather->find("place");
      if (place != weather->end() && place->is_string()) placeText = trimBlanks(place->get<std::string>());
    }
    auto units = settings.find("units");
    if (units != settings.end() && !units->is_string()) {
      throw std::runtime_error(
          "The temperature unit in the settings could not be read. Choose it again in the "
          "settings.");
    }
    if (units != settings.end() && *units == "C") unitWord = "celsius";
  }
  if (placeText.empty()) return;

  if (placeText != geocodeCache.place) lookUpPlace(placeText);

  FetchResult fetched = fetchUrl(std::string("https://") + kForecastHost +
                                 "/v1/forecast?latitude=" + formatCoordinate(geocodeCache.latitude) +
                                 "&longitude=" + formatCoordinate(geocodeCache.longitude) +
                                 "&current=temperature_2m,weather_code"
                                 "&daily=temperature_2m_max,temperature_2m_min,weather_code"
                                 "&forecast_days=3&temperature_unit=" +
                                 unitWord + "&timezone=auto");
  if (!fetched.ok) throw std::runtime_error(serviceFailure(fetched));

  json answer = parseAnswer(fetched);
  const bool celsius = unitWord == "celsius";
  const std::string degrees = celsius ? "\u00B0C" : "\u00B0";

  // A member missing, null or of another type: the library's type error,
  // which names none of it in words a family reads.
  WeatherCodeInfo now{};
  json days = json::array();
  long long temp = 0, high = 0, low = 0;
  try {
    const json& current = memberOf(answer, "current");
    const json& daily = memberOf(answer, "daily");
    now = describeWeatherCode(weatherCodeOf(memberOf(current, "weather_code")));

    const json& times = memberOf(daily, "time");
    const json& codes = memberOf(daily, "weather_code");
    const json& highs = memberOf(daily, "temperature_2m_max");
    const json& lows = memberOf(daily, "temperature_2m_min");
    for (std::size_t i = 0; i < times.size(); ++i) {
      json day = json::object();
      day["date"] = elementOf(times, i);
      day["icon"] = describeWeatherCode(weatherCodeOf(elementOf(codes, i))).icon;
      day["high"] = roundTemperature(elementOf(highs, i).get<double>());
      day["low"] = roundTemperature(elementOf(lows, i).get<double>());
      days.push_back(std::move(day));
    }

    temp = roundTemperature(memberOf(current, "temperature_2m").get<double>());
    high = roundTemperature(elementOf(highs, 0).get<double>());
    low = roundTemperature(elementOf(lows, 0).get<double>());
  } catch (const nlohmann::json::exception&) {
    throw std::runtime_error(kIncompleteForecast);
  }

  json item = json::object();
  item["temp"] = std::to_string(temp) + degrees;
  item["icon"] = now.icon;
  item["text"] = now.text;
  item["place"] = geocodeCache.label;
  item["high"] = std::to_string(high) + degrees;
  item["low"] = std::to_string(low) + degrees;
  item["days"] = std::move(days);
  item["updated"] = nowMilliseconds();
  item["error"] = "";
  applyChange("live", "weather", &item);

  printLine(consoleSafe("Weather updated for " + geocodeCache.label + ": " + std::to_string(temp) +
                        (celsius ? " C, " : " F, ") + now.text));
}

}  // namespace

void refreshWeather() {
  try {
    runWeather();
  } catch (const std::exception& failure) {
    // The last good weather stays; only its "error" changes.
    const std::string message = householdMessage(failure, "The weather could not be updated. Try again later.");
    json item = getItem("live", "weather");
    if (!item.is_object()) item = json::object();
    item["error"] = message;
    applyChange("live", "weather", &item);
    printLine(consoleSafe("Weather problem: " + message));
  }
}
