#pragma once
// How many connections each peer address holds, so that one device cannot
// take every worker of the server. Each held connection occupies a worker
// (server/connections.h) whether it sends requests, sends slowly or only
// waits; a device opening hundreds of them would leave the household's own
// pages, reads and writes queued behind its connections.
//
// While the server is not crowded every connection is taken, whoever opens
// it: a computer running many windows against its own server, or tests and
// benches that all come from 127.0.0.1, never meet a limit. Once the server
// holds kCrowdedAt connections, the peer that holds the most (and at least
// kPeerShare) gets no more until it lets some go; every other peer still gets
// in, into the workers left between kCrowdedAt and the pool's most. Only the
// largest holder is refused, so that a busy computer of the household (many
// windows from one address) is never turned away for a flood from another.
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "server/connections.h"

// Connections held in all at which a peer's share starts to count: the pool's
// spare workers (kMostWorkers - kCrowdedAt) stay for the other devices.
constexpr std::size_t kCrowdedAt = kMostWorkers - kCoreWorkers;
// What one peer may hold once the server is crowded: a browser keeps at most
// six connections to one server, so even a computer with several browsers
// and many windows stays well below this.
constexpr std::size_t kPeerShare = 48;

class PeerLimits {
 public:
  // The place of one admitted connection: given back when it is destroyed
  // (after the connection is closed). An empty one admits nothing.
  class Admission {
   public:
    Admission() = default;
    Admission(Admission&& other) noexcept;
    Admission& operator=(Admission&& other) noexcept;
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;
    ~Admission();
    explicit operator bool() const { return limits_ != nullptr; }

   private:
    friend class PeerLimits;
    Admission(PeerLimits* limits, std::string peer) : limits_(limits), peer_(std::move(peer)) {}
    PeerLimits* limits_ = nullptr;
    std::string peer_;
  };

  explicit PeerLimits(std::size_t crowdedAt = kCrowdedAt, std::size_t peerShare = kPeerShare);
  PeerLimits(const PeerLimits&) = delete;
  PeerLimits& operator=(const PeerLimits&) = delete;

  // A place for a new connection from `peer` (its numeric address), or an
  // empty Admission when the server is crowded and the peer holds its share
  // and no other peer holds more:
  // that connection is then closed at once, without reading from it. Takes
  // the limits' own mutex, alone.
  Admission admit(const std::string& peer);

  // For tests and figures: connections held in all, and by one peer.
  std::size_t held();
  std::size_t heldBy(const std::string& peer);

 private:
  void release(const std::string& peer);
  // The most connections any peer but `peer` holds; called with mutex_ held.
  std::size_t mostHeldByAnother(const std::string& peer) const;
  std::mutex mutex_;  // guards the counts; never held with another lock
  std::map<std::string, std::size_t> byPeer_;
  std::size_t held_ = 0;
  std::size_t crowdedAt_;
  std::size_t peerShare_;
};

// The server's one instance, used by its connection loop.
extern PeerLimits peerLimits;
