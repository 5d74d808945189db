// The real program with large data: items and data files of many small values
// are read in time that grows with their size, and large writes spread over
// many connections do not pile up memory.
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "support/large_items.h"
#include "support/running_server.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

TEST(LargeDataE2E, AnItemOfManySmallObjectsIsStoredAndReloadedInGoodTime) {
  // Close to the item limit. Reading it once took minutes, at the write and
  // at every later start; the bounds here are many times what it now takes.
  const std::string body = manyEmptyObjects(188172);
  ASSERT_LT(body.size(), 2000000u);
  TempFolder folder;
  {
    RunningServer s(folder.path());
    ASSERT_TRUE(s.started()) << s.console();
    auto res = s.newClient(30)->Put("/api/doc/lists/many", body, "application/json");
    ASSERT_TRUE(res) << "no answer within 30 s";
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "{\"ok\":true}");
    ASSERT_TRUE(waitUntil([&] { return readFile(folder.path() / "family-data.json").size() > body.size(); }, 30s));
  }
  RunningServer s(folder.path(), {}, 30s);
  ASSERT_TRUE(s.started()) << "not started within 30 s: " << s.console();
  EXPECT_EQ(s.console().substr(0, 26), "Loaded saved family data.\n");
  auto res = s.newClient(30)->Get("/api/state");
  ASSERT_TRUE(res);
  EXPECT_EQ(nlohmann::json::parse(res->body)["lists"]["many"], nlohmann::json::parse(body));
}

TEST(LargeDataE2E, LargeWritesOnNewConnectionsDoNotPileUpMemory) {
  // 1.9 MB of ordinary members, written 100 times to one item, each time on a
  // new connection and so on worker after worker. With a memory pool for each
  // worker the server peaked at 2 GB; over one connection, at about 110 MB.
  const std::string item = groupedItem();
  ASSERT_GT(item.size(), 1900000u);
  TempFolder folder;
  RunningServer s(folder.path());
  ASSERT_TRUE(s.started()) << s.console();
  for (int i = 0; i < 100; ++i) {
    auto res = s.newClient(30)->Put("/api/doc/lists/big", item, "application/json");
    ASSERT_TRUE(res && res->status == 200) << "write " << i;
  }
  const long peakKb = peakMemoryKiB(s.pid());
  ASSERT_GT(peakKb, 0);
  EXPECT_LT(peakKb, 400 * 1024) << "peak resident size " << peakKb / 1024 << " MB";
}

}  // namespace
