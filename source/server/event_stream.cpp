#include "server/event_stream.h"

#include <atomic>
#include <memory>

#include "server/answers.h"
#include "server/change_hub.h"
#include "server/json_text.h"
#include "server/routes.h"
#include "server/state.h"

namespace {

std::atomic<int> openStreams{0};

const std::string& pingComment() {
  static const std::string text = ": ping\n\n";
  return text;
}

// Writes the whole state and moves the cursor to the hub's sequence number in
// the same locked moment, so the snapshot holds exactly the events up to it.
bool sendFullState(StreamState& stream, httplib::DataSink& sink) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    // Writing {"full": stateDoc} by hand spares a copy of the whole document.
    text = "retry: 3000\ndata: {\"full\":" + dumpCompact(stateDoc) + "}\n\n";
    stream.cursor = changeHub.currentSeq();
  }
  return sink.write(text.data(), text.size());
}

}  // namespace

bool sendNextEvents(StreamState& stream, httplib::DataSink& sink) {
  if (!stream.started) {
    stream.started = true;
    return sendFullState(stream, sink);
  }
  std::vector<std::string> texts;
  bool missed = false;
  if (!changeHub.waitForChanges(stream.cursor, texts, missed)) {
    return sink.write(pingComment().data(), pingComment().size());
  }
  if (missed) return sendFullState(stream, sink);
  std::size_t size = 0;
  for (const auto& t : texts) size += t.size() + 8;
  std::string out;
  out.reserve(size);
  for (const auto& t : texts) {
    out += "data: ";
    out += t;
    out += "\n\n";
  }
  return sink.write(out.data(), out.size());
}

StreamState::StreamState() { openStreams.fetch_add(1); }
StreamState::~StreamState() { openStreams.fetch_sub(1); }

int openStreamCount() { return openStreams.load(); }

void handleEventStream(const httplib::Request&, httplib::Response& response) {
  auto stream = std::make_shared<StreamState>();
  if (openStreamCount() > kMaxOpenStreams) {
    sendJson(response, 503, nlohmann::json{{"error", "Too many open calendar windows. Close one and reload."}});
    return;
  }
  setNoStore(response);
  response.set_header("X-Accel-Buffering", "no");
  // Exactly "text/event-stream": the server library compresses chunked
  // answers of any other type, which would hold events back.
  response.set_chunked_content_provider("text/event-stream", [stream](std::size_t, httplib::DataSink& sink) {
    return sendNextEvents(*stream, sink);
  });
}
