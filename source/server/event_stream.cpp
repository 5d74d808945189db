#include "server/event_stream.h"

#include <algorithm>
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

// Takes the whole state's text and moves the cursor to the hub's sequence
// number in the same locked moment, so the snapshot holds exactly the events
// up to it. The text is shared with every stream that opens before the next
// change; the message is written in pieces, each copied by the server library
// on its way out, so that many streams sending a large state at once hold a
// few pieces each rather than copies of the whole.
bool sendFullState(StreamState& stream, httplib::DataSink& sink) {
  std::shared_ptr<const std::string> state;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    state = sharedStateText();
    stream.cursor = changeHub.currentSeq();
  }
  static const std::string head = "retry: 3000\ndata: {\"full\":";
  static const std::string tail = "}\n\n";
  const std::string& text = *state;
  // A small state goes out in one write, head and tail included.
  const std::size_t first = std::min(text.size(), kFullStatePiece);
  std::string piece = head;
  piece.append(text, 0, first);
  if (first == text.size()) piece += tail;
  if (!sink.write(piece.data(), piece.size())) return false;
  if (first == text.size()) return true;
  std::size_t at = first;
  for (; text.size() - at > kFullStatePiece; at += kFullStatePiece) {
    if (!sink.write(text.data() + at, kFullStatePiece)) return false;
  }
  piece.assign(text, at, std::string::npos);
  piece += tail;
  return sink.write(piece.data(), piece.size());
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
