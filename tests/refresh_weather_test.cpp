// The weather refresh in process: settings/main in, the fake curl answering
// the geocoding and forecast services, live/weather and the console out.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fake_curl/fake_curl.h"
#include "refresh/weather.h"
#include "refresh/weather_codes.h"
#include "server/state.h"

using nlohmann::json;

namespace {

std::string geocodeUrl(const std::string& encodedTown) {
  return "https://geocoding-api.open-meteo.com/v1/search?count=10&language=en&name=" + encodedTown;
}

std::string forecastUrl(const std::string& lat, const std::string& lon, const std::string& unit) {
  return "https://api.open-meteo.com/v1/forecast?latitude=" + lat + "&longitude=" + lon +
         "&current=temperature_2m,weather_code&daily=temperature_2m_max,temperature_2m_min,weather_code"
         "&forecast_days=3&temperature_unit=" + unit + "&timezone=auto";
}

json springfields() {
  return json{{"results",
               {{{"name", "Springfield"}, {"admin1", "Missouri"}, {"country_code", "US"},
                 {"latitude", 37.21533}, {"longitude", -93.29824}},
                {{"name", "Springfield"}, {"admin1", "Illinois"}, {"country_code", "US"},
                 {"latitude", 39.80172}, {"longitude", -89.64371}}}}};
}

json forecast(double temp, int code, std::vector<double> highs, std::vector<double> lows) {
  json daily = {{"time", json::array()}, {"weather_code", json::array()}, {"temperature_2m_max", highs},
                {"temperature_2m_min", lows}};
  for (std::size_t i = 0; i < highs.size(); ++i) {
    daily["time"].push_back("2026-12-1" + std::to_string(i));
    daily["weather_code"].push_back(i == 0 ? 3 : 61);
  }
  return json{{"current", {{"temperature_2m", temp}, {"weather_code", code}}}, {"daily", daily}};
}

class RefreshWeather : public ::testing::Test {
 protected:
  void SetUp() override {
    resetStateSections();
    geocodeCache = GeocodeCache{};
    curl_.installInProcess();
  }

  void setSettings(const json& settings) { applyChange("settings", "main", &settings); }
  void setPlace(const std::string& place, const std::string& units = "C") {
    setSettings(json{{"weather", {{"place", place}}}, {"units", units}});
  }
  // Runs one refresh and returns what it printed.
  std::string run() {
    testing::internal::CaptureStdout();
    refreshWeather();
    return testing::internal::GetCapturedStdout();
  }
  json weather() { return getItem("live", "weather"); }

  // A first good run for Springfield, Illinois in Celsius.
  json goodRun() {
    curl_.answer(geocodeUrl("Springfield"), springfields().dump(), "200");
    curl_.answer(forecastUrl("39.8017", "-89.6437", "celsius"),
                 forecast(21.6, 2, {22.5, 18, 15}, {10.4, 9, 8}).dump(), "200");
    setPlace("Springfield, Illinois");
    EXPECT_EQ(run(), "Weather updated for Springfield, Illinois: 22 C, Partly cloudy\n");
    curl_.clearLog();
    return weather();
  }

  fakecurl::FakeCurl curl_;
};

TEST(RefreshWeatherCodes, TableAndDefault) {
  struct Case {
    int code;
    const char* icon;
    const char* text;
  } cases[] = {
      {0, "\u2600", "Clear"},           {1, "\U0001F324", "Mostly clear"}, {2, "\u26C5", "Partly cloudy"},
      {3, "\u2601", "Cloudy"},          {45, "\U0001F32B", "Fog"},         {48, "\U0001F32B", "Fog"},
      {55, "\U0001F326", "Drizzle"},    {57, "\U0001F327", "Freezing drizzle"},
      {61, "\U0001F327", "Light rain"}, {65, "\U0001F327", "Heavy rain"},  {67, "\U0001F327", "Freezing rain"},
      {71, "\U0001F328", "Light snow"}, {75, "\u2744", "Heavy snow"},      {77, "\U0001F328", "Snow grains"},
      {80, "\U0001F326", "Showers"},    {81, "\U0001F327", "Showers"},     {82, "\u26C8", "Heavy showers"},
      {85, "\U0001F328", "Snow showers"}, {86, "\u2744", "Snow showers"},  {95, "\u26C8", "Thunderstorms"},
      {96, "\u26C8", "Thunderstorms"},  {99, "\u26C8", "Thunderstorms"},
      {4, "\u2601", "Weather"},         {50, "\u2601", "Weather"},         {100, "\u2601", "Weather"},
      {-1, "\u2601", "Weather"},
  };
  for (const Case& c : cases) {
    WeatherCodeInfo info = describeWeatherCode(c.code);
    EXPECT_STREQ(info.icon, c.icon) << c.code;
    EXPECT_STREQ(info.text, c.text) << c.code;
  }
}

TEST(RefreshWeatherText, EncodingCoordinatesAndRounding) {
  EXPECT_EQ(percentEncode("S\xC3\xA3o Paulo"), "S%C3%A3o%20Paulo");
  EXPECT_EQ(percentEncode("St. John's"), "St.%20John%27s");
  EXPECT_EQ(percentEncode("a-b._~c+d\te"), "a-b._~c%2Bd%09e");
  EXPECT_EQ(formatCoordinate(52.52437), "52.5244");
  EXPECT_EQ(formatCoordinate(-89.65148), "-89.6515");
  EXPECT_EQ(formatCoordinate(151.20732), "151.207");
  EXPECT_EQ(formatCoordinate(40.0), "40");
  EXPECT_EQ(formatCoordinate(0.00001), "1e-05");
  EXPECT_EQ(roundTemperature(21.5), 22);
  EXPECT_EQ(roundTemperature(0.5), 1);
  EXPECT_EQ(roundTemperature(-0.5), -1);
  EXPECT_EQ(roundTemperature(-2.5), -3);
  EXPECT_EQ(roundTemperature(-0.4), 0);
  EXPECT_THROW(roundTemperature(1e300), std::runtime_error);
}

TEST_F(RefreshWeather, NothingToDoWithoutAPlace) {
  const json before = {{"temp", "5\u00B0"}, {"error", ""}};
  applyChange("live", "weather", &before);
  const json settings[] = {
      json(),  // no item
      json{{"units", "C"}},
      json{{"weather", "Paris"}},
      json{{"weather", {{"place", 12}}}},
      json{{"weather", {{"place", ""}}}},
      json{{"weather", {{"place", " \t\r\n"}}}},
      json{{"place", "Paris"}},  // "place" belongs inside "weather"
  };
  for (const json& s : settings) {
    SCOPED_TRACE(s.dump());
    if (s.is_null()) {
      applyChange("settings", "main", nullptr);
    } else {
      setSettings(s);
    }
    EXPECT_EQ(run(), "");
    EXPECT_EQ(weather(), before);
  }
  EXPECT_EQ(curl_.calls(), 0);
}

TEST_F(RefreshWeather, SuccessStoresTheWholeItem) {
  json item = goodRun();
  EXPECT_EQ(curl_.calls(), 0);  // goodRun cleared the log
  const json days = json::array({{{"date", "2026-12-10"}, {"icon", "\u2601"}, {"high", 23}, {"low", 10}},
                                 {{"date", "2026-12-11"}, {"icon", "\U0001F327"}, {"high", 18}, {"low", 9}},
                                 {{"date", "2026-12-12"}, {"icon", "\U0001F327"}, {"high", 15}, {"low", 8}}});
  ASSERT_TRUE(item["updated"].is_number_integer());
  EXPECT_GT(item["updated"].get<std::int64_t>(), 1700000000000);
  item.erase("updated");
  EXPECT_EQ(item, (json{{"temp", "22\u00B0C"}, {"icon", "\u26C5"}, {"text", "Partly cloudy"},
                        {"place", "Springfield, Illinois"}, {"high", "23\u00B0C"}, {"low", "10\u00B0C"},
                        {"days", days}, {"error", ""}}));
  EXPECT_EQ(geocodeCache.place, "Springfield, Illinois");
  EXPECT_EQ(geocodeCache.label, "Springfield, Illinois");
}

TEST_F(RefreshWeather, CacheSparesTheLookupWhileThePlaceStays) {
  json first = goodRun();
  setPlace("  Springfield, Illinois\t");  // the same key once trimmed
  EXPECT_EQ(run(), "Weather updated for Springfield, Illinois: 22 C, Partly cloudy\n");
  EXPECT_EQ(curl_.urls(), std::vector<std::string>{forecastUrl("39.8017", "-89.6437", "celsius")});
  EXPECT_GE(weather()["updated"].get<std::int64_t>(), first["updated"].get<std::int64_t>());

  curl_.clearLog();
  curl_.answer(geocodeUrl("springfield"), springfields().dump(), "200");
  setPlace("springfield, illinois");  // a different key: case counts
  run();
  EXPECT_EQ(curl_.urls(), (std::vector<std::string>{geocodeUrl("springfield"),
                                                      forecastUrl("39.8017", "-89.6437", "celsius")}));
}

TEST_F(RefreshWeather, FahrenheitHalvesAndNegativeZero) {
  curl_.answer(geocodeUrl("Oslo"), json{{"results", {{{"name", "Oslo"}, {"latitude", 59.91273},
                                                       {"longitude", 10.74609}}}}}.dump(), "200");
  curl_.answer(forecastUrl("59.9127", "10.7461", "fahrenheit"),
               forecast(-0.4, 71, {0.5, -2.5, 4}, {-0.5, -3.5, -0.2}).dump(), "200");
  for (const char* units : {"F", "c", "Celsius", "C "}) {
    SCOPED_TRACE(units);
    setPlace("Oslo", units);
    EXPECT_EQ(run(), "Weather updated for Oslo: 0 F, Light snow\n");
    json item = weather();
    EXPECT_EQ(item["temp"], "0\u00B0");
    EXPECT_EQ(item["high"], "1\u00B0");
    EXPECT_EQ(item["low"], "-1\u00B0");
    EXPECT_EQ(item["place"], "Oslo");
    EXPECT_EQ(item["days"][1]["high"], -3);
    EXPECT_EQ(item["days"][1]["low"], -4);
    EXPECT_EQ(item["days"][2]["low"], 0);
    EXPECT_EQ(item["days"][2]["low"].dump(), "0");
  }
  // Without "units" at all the unit is Fahrenheit too.
  setSettings(json{{"weather", {{"place", "Oslo"}}}});
  EXPECT_EQ(run(), "Weather updated for Oslo: 0 F, Light snow\n");
}

TEST_F(RefreshWeather, HintChoosesTheResult) {
  const json results = json::array({
      {{"name", "Paris"}, {"admin1", "Texas"}, {"country", "United States"}, {"country_code", "US"},
       {"latitude", 33.66}, {"longitude", -95.55}},
      {{"name", "Paris"}, {"admin1", 7}, {"country", "Frankreich"}, {"country_code", "FR"},
       {"latitude", 48.85}, {"longitude", 2.35}},
      {{"name", "Paris"}, {"admin1", ""}, {"country", "Canada"}, {"latitude", 43.2}, {"longitude", -80.38}},
      {{"admin1", "Ontario"}, {"country", "Canada"}, {"longitude", -80.0}},
  });
  struct Case {
    const char* place;
    const char* lat;
    const char* lon;
    const char* label;
  } cases[] = {
      {"Paris", "33.66", "-95.55", "Paris, Texas"},
      {"Paris,", "33.66", "-95.55", "Paris, Texas"},
      {"Paris, FR", "48.85", "2.35", "Paris"},            // through country_code; admin1 is no text
      {"Paris , CAN", "43.2", "-80.38", "Paris, "},      // through country; empty admin1
      {"Paris, ont", "0", "-80", "Paris, ont, Ontario"},  // no name, no latitude
      {"Paris, ontario province", "33.66", "-95.55", "Paris, Texas"},  // longer than any value
      {"Paris, mars", "33.66", "-95.55", "Paris, Texas"},
  };
  curl_.answer(geocodeUrl("Paris"), json{{"results", results}}.dump(), "200");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.place);
    curl_.answer(forecastUrl(c.lat, c.lon, "celsius"), forecast(1, 0, {2, 2, 2}, {0, 0, 0}).dump(), "200");
    setPlace(c.place);
    EXPECT_EQ(run(), std::string("Weather updated for ") + c.label + ": 1 C, Clear\n");
    EXPECT_EQ(weather()["place"], c.label);
  }
}

TEST_F(RefreshWeather, ForecastShapes) {
  curl_.answer(geocodeUrl("Oslo"), json{{"results", {{{"name", "Oslo"}, {"latitude", 40}, {"longitude", 0.00001}}}}}.dump(), "200");
  setPlace("Oslo");
  const std::string url = forecastUrl("40", "1e-05", "celsius");

  json five = forecast(3, 1234, {1, 2, 3, 4, 5}, {0, 0, 0, 0, 0});
  curl_.answer(url, five.dump(), "200");
  EXPECT_EQ(run(), "Weather updated for Oslo: 3 C, Weather\n");
  EXPECT_EQ(weather()["days"].size(), 5u);
  EXPECT_EQ(weather()["icon"], "\u2601");

  json noTime = forecast(3, 0, {1, 2, 3}, {0, 0, 0});
  noTime["daily"].erase("time");
  curl_.answer(url, noTime.dump(), "200");
  EXPECT_EQ(run(), "Weather updated for Oslo: 3 C, Clear\n");
  EXPECT_EQ(weather()["days"], json::array());
  EXPECT_EQ(weather()["high"], "1\u00B0C");
}

// Each failure keeps the last good item and sets only its "error", a sentence
// that says what happened and what to do: never the JSON library's or
// curl's own wording.
TEST_F(RefreshWeather, FailuresKeepTheLastGoodItem) {
  json good = goodRun();
  const json noDaily = json{{"current", {{"temperature_2m", 3}, {"weather_code", 0}}}};
  json nullCode = forecast(3, 0, {1, 2, 3}, {0, 0, 0});
  nullCode["current"]["weather_code"] = nullptr;
  json textHigh = forecast(3, 0, {1, 2, 3}, {0, 0, 0});
  textHigh["daily"]["temperature_2m_max"][1] = "warm";
  json hot = forecast(1e300, 0, {1, 2, 3}, {0, 0, 0});
  const std::string unreadable = "The weather service sent an answer that could not be read. Try again later.";
  const std::string incomplete = "The weather service sent an incomplete forecast. Try again later.";
  const std::string empty = "The weather service sent an empty answer. Try again later.";
  const std::string ok = "200";
  struct Case {
    const char* name;
    std::string place;
    fakecurl::Answer geocode;
    fakecurl::Answer forecast;
    std::string message;
  } cases[] = {
      {"geocoding 503",
       "Springfield, Ohio",
       {std::string("busy"), std::string("503")},
       {},
       "The weather service did not answer (error 503)."},
      {"geocoding silent", "Springfield, Ohio", {}, {}, "No answer. Check the internet connection."},
      {"geocoding unreachable",
       "Springfield, Ohio",
       {std::nullopt, std::string("000")},
       {},
       "Could not reach the website. Check the internet connection."},
      {"geocoding not JSON", "Springfield, Ohio", {std::string("<html>oops</html>"), ok}, {}, unreadable},
      {"geocoding empty", "Springfield, Ohio", {std::string(""), ok}, {}, empty},
      {"geocoding results not a list",
       "Springfield, Ohio",
       {std::string("{\"results\":{\"a\":1}}"), ok},
       {},
       unreadable},
      {"geocoding latitude as text",
       "Springfield, Ohio",
       {std::string("{\"results\":[{\"name\":\"S\",\"latitude\":\"39\"}]}"), ok},
       {},
       unreadable},
      {"no results",
       "Springfield, Ohio",
       {std::string("{\"generationtime_ms\":0.5}"), ok},
       {},
       "Could not find a town called \"Springfield, Ohio\". Try just the town name."},
      {"empty results",
       ", Ohio",
       {std::string("{\"results\":[]}"), ok},
       {},
       "Could not find a town called \", Ohio\". Try just the town name."},
      {"forecast 404",
       "Springfield, Illinois",
       {},
       {std::string("nope"), std::string("404")},
       "The weather service did not answer (error 404)."},
      {"forecast an HTML page",
       "Springfield, Illinois",
       {},
       {std::string("<!DOCTYPE html><title>Bad gateway</title>"), ok},
       unreadable},
      {"forecast empty", "Springfield, Illinois", {}, {std::string(""), ok}, empty},
      {"forecast only blanks", "Springfield, Illinois", {}, {std::string(" \r\n"), ok}, empty},
      {"forecast with trailing text", "Springfield, Illinois", {}, {std::string("{} curl: (23) late"), ok}, unreadable},
      {"forecast cut off inside", "Springfield, Illinois", {}, {std::string("{\"current\":{\"temp"), ok}, unreadable},
      {"forecast a list", "Springfield, Illinois", {}, {std::string("[1,2]"), ok}, incomplete},
      {"forecast without daily", "Springfield, Illinois", {}, {noDaily.dump(), ok}, incomplete},
      {"forecast code null", "Springfield, Illinois", {}, {nullCode.dump(), ok}, incomplete},
      {"forecast high as text", "Springfield, Illinois", {}, {textHigh.dump(), ok}, incomplete},
      {"forecast out of range",
       "Springfield, Illinois",
       {},
       {hot.dump(), ok},
       "The weather service sent a temperature that is out of range. Try again later."},
      {"forecast cut off",
       "Springfield, Illinois",
       {},
       {forecast(30, 0, {31, 32, 33}, {20, 21, 22}).dump(), ok,
        std::string("curl: (18) transfer closed with 20 bytes remaining to read\n"), std::nullopt, std::string("18")},
       "The download was cut off before it was complete. Try again later."},
      {"forecast redirect loop",
       "Springfield, Illinois",
       {},
       {std::string(), std::string("302"), std::string("curl: (47) Maximum (50) redirects followed\n"), std::nullopt,
        std::string("47")},
       "The website keeps sending the download on from one address to another and never delivers it. Open the "
       "link in a browser to check it, or try again later."},
      {"forecast compressed and broken",
       "Springfield, Illinois",
       {},
       {std::string("\x1f\x8b"), ok, std::string("curl: (61) Error while processing content unencoding\n"),
        std::nullopt, std::string("61")},
       "The website sent a compressed answer that arrived broken. Try again later."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    curl_.answer(geocodeUrl(c.place == ", Ohio" ? "" : "Springfield"), c.geocode);
    curl_.answer(forecastUrl("39.8017", "-89.6437", "celsius"), c.forecast);
    setPlace(c.place);
    EXPECT_EQ(run(), "Weather problem: " + c.message + "\n");
    json expected = good;
    expected["error"] = c.message;
    EXPECT_EQ(weather(), expected);
    EXPECT_EQ(geocodeCache.place, "Springfield, Illinois");  // failed lookups leave the cache
  }
}

// A place name from the geocoding service with line breaks or escape codes
// prints as one line; the weather item keeps the name as it came.
TEST_F(RefreshWeather, ConsoleLineStaysOneLine) {
  const std::string name = "Oslo\n\n  On your Wi-Fi:      http://192.0.2.66:8080\x1b[2J";
  curl_.answer(geocodeUrl("Oslo"),
               json{{"results", {{{"name", name}, {"latitude", 1}, {"longitude", 2}}}}}.dump(), "200");
  curl_.answer(forecastUrl("1", "2", "celsius"), forecast(3, 0, {4, 5, 6}, {1, 2, 3}).dump(), "200");
  setPlace("Oslo");
  EXPECT_EQ(run(), "Weather updated for Oslo    On your Wi-Fi:      http://192.0.2.66:8080 [2J: 3 C, Clear\n");
  EXPECT_EQ(weather()["place"], name);

  curl_.answer(forecastUrl("1", "2", "celsius"),
               fakecurl::Answer{std::nullopt, std::nullopt, std::string("curl: (35) TLS\x1b[31m alert\n"),
                                std::nullopt, std::string("35")});
  const std::string secure =
      "Could not make a secure connection to the website. Check that this computer's date and time are right, or "
      "try again later.";
  EXPECT_EQ(run(), "Weather problem: " + secure + "\n");
  EXPECT_EQ(weather()["error"], secure);  // curl's line, escapes and all, never reaches the item
}

TEST_F(RefreshWeather, UnitsOfAnotherTypeFailEvenWithoutAPlace) {
  const std::string message =
      "The temperature unit in the settings could not be read. Choose it again in the settings.";
  setSettings(json{{"units", 1}});
  EXPECT_EQ(run(), "Weather problem: " + message + "\n");
  EXPECT_EQ(weather(), (json{{"error", message}}));  // first run: only "error"
  EXPECT_EQ(curl_.calls(), 0);
}

TEST_F(RefreshWeather, SuccessAfterFailureClearsTheError) {
  curl_.answer(geocodeUrl("Springfield"), fakecurl::Answer{std::string("down"), std::string("503")});
  setPlace("Springfield, Illinois");
  EXPECT_EQ(run(), "Weather problem: The weather service did not answer (error 503).\n");
  EXPECT_EQ(weather(), (json{{"error", "The weather service did not answer (error 503)."}}));

  json item = goodRun();
  EXPECT_EQ(item["error"], "");
  EXPECT_EQ(item["temp"], "22\u00B0C");

  // A forecast failure after a new lookup keeps the new cache entry.
  curl_.answer(geocodeUrl("Oslo"), json{{"results", {{{"name", "Oslo"}, {"latitude", 1}, {"longitude", 2}}}}}.dump(), "200");
  curl_.answer(forecastUrl("1", "2", "celsius"), fakecurl::Answer{std::string("x"), std::string("500")});
  setPlace("Oslo");
  EXPECT_EQ(run(), "Weather problem: The weather service did not answer (error 500).\n");
  EXPECT_EQ(geocodeCache.place, "Oslo");
  curl_.clearLog();
  run();
  EXPECT_EQ(curl_.urls(), std::vector<std::string>{forecastUrl("1", "2", "celsius")});
}

}  // namespace
