#include "server/event_stream.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "server/answers.h"
#include "server/change_hub.h"
#include "server/json_text.h"
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
  const std::uint64_t checkBefore = stream.checkSeen;
  if (!changeHub.waitForChanges(stream.cursor, texts, missed, &stream.checkSeen)) {
    if (stream.checkSeen != checkBefore) return !sink.is_writable || sink.is_writable();
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

StreamState::StreamState() : admitted(openStreams.fetch_add(1) < kMaxOpenStreams) {}
StreamState::~StreamState() { openStreams.fetch_sub(1); }

int openStreamCount() { return openStreams.load(); }

void handleEventStream(const httplib::Request& request, httplib::Response& response) {
  auto stream = std::make_shared<StreamState>();
  // A reload closes the old stream just before it opens the new one: ask the
  // open streams to look for closed windows, and give them a moment to leave.
  constexpr auto kWaitForPlace = std::chrono::milliseconds(1500);
  const auto giveUp = std::chrono::steady_clock::now() + kWaitForPlace;
  while (!stream->admitted) {
    stream.reset();
    if (std::chrono::steady_clock::now() >= giveUp) break;
    changeHub.askStreamsToCheck();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stream = std::make_shared<StreamState>();
  }
  setNoStore(response);
  if (!stream) {
    response.set_content(kStreamsFullMessage, "text/event-stream");
    return;
  }
  response.set_header("X-Accel-Buffering", "no");
  auto events = [stream](std::size_t, httplib::DataSink& sink) { return sendNextEvents(*stream, sink); };
  if (request.version == "HTTP/1.0") {
    // An HTTP/1.0 client reads no chunks: the events go out as they are, and
    // the stream ends with the connection.
    closeConnection(response);
    response.set_content_provider("text/event-stream", std::move(events));
    return;
  }
  // Exactly "text/event-stream": the server library compresses chunked
  // answers of any other type, which would hold events back.
  response.set_chunked_content_provider("text/event-stream", std::move(events));
}
