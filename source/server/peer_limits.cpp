#include "server/peer_limits.h"

#include <algorithm>
#include <utility>

PeerLimits peerLimits;

PeerLimits::Admission::Admission(Admission&& other) noexcept
    : limits_(std::exchange(other.limits_, nullptr)), peer_(std::move(other.peer_)) {}

PeerLimits::Admission& PeerLimits::Admission::operator=(Admission&& other) noexcept {
  if (this != &other) {
    if (limits_) limits_->release(peer_);
    limits_ = std::exchange(other.limits_, nullptr);
    peer_ = std::move(other.peer_);
  }
  return *this;
}

PeerLimits::Admission::~Admission() {
  if (limits_) limits_->release(peer_);
}

PeerLimits::PeerLimits(std::size_t crowdedAt, std::size_t peerShare) : crowdedAt_(crowdedAt), peerShare_(peerShare) {}

PeerLimits::Admission PeerLimits::admit(const std::string& peer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = byPeer_.find(peer);
  const std::size_t count = found == byPeer_.end() ? 0 : found->second;
  if (held_ >= crowdedAt_ && count >= peerShare_ && count >= mostHeldByAnother(peer)) return Admission();
  ++byPeer_[peer];
  ++held_;
  return Admission(this, peer);
}

std::size_t PeerLimits::mostHeldByAnother(const std::string& peer) const {
  std::size_t most = 0;
  for (const auto& [other, count] : byPeer_) {
    if (other != peer) most = std::max(most, count);
  }
  return most;
}

void PeerLimits::release(const std::string& peer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = byPeer_.find(peer);
  if (found == byPeer_.end()) return;
  --held_;
  // A peer without connections leaves no entry behind, so the map stays as
  // small as the number of devices connected.
  if (--found->second == 0) byPeer_.erase(found);
}

std::size_t PeerLimits::held() {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

std::size_t PeerLimits::heldBy(const std::string& peer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = byPeer_.find(peer);
  return found == byPeer_.end() ? 0 : found->second;
}
