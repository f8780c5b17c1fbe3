// The TCP side of SimServer: streams taken on the InSim port, cut into
// packets by the host's own framing, and the client's stream written with
// the split fault applied.

#include "sim/SimServer.h"

namespace pm::sim {

void SimServer::onStreamAccepted(TcpEndpoint::StreamId id, const Address& peer) {
    if (inbound_.size() >= kMaxStreams) {
        streams_.closeStream(id);
        transcript_.note("TCP connection from " + peer.text() +
                         " turned away: " + std::to_string(kMaxStreams) + " streams open");
        return;
    }
    inbound_[id].peer = peer;
    transcript_.note("TCP connection from " + peer.text());
}

void SimServer::onStreamBytes(TcpEndpoint::StreamId id, std::span<const std::uint8_t> bytes) {
    auto it = inbound_.find(id);
    if (it == inbound_.end()) {
        return;
    }
    it->second.in.feed(bytes);
    for (;;) {
        it = inbound_.find(id);
        if (it == inbound_.end()) {
            return; // a packet before closed it
        }
        auto packet = it->second.in.next();
        if (!packet) {
            if (it->second.in.broken()) {
                closeStream(id, "cannot frame the stream: " + it->second.in.whyBroken());
            }
            return;
        }
        onPacket(Origin{Transport::Tcp, it->second.peer, id}, *packet);
    }
}

void SimServer::onStreamLost(TcpEndpoint::StreamId id, const std::string& why) {
    auto it = inbound_.find(id);
    if (it == inbound_.end()) {
        return;
    }
    const Address peer = it->second.peer;
    const std::size_t partial = it->second.in.buffered();
    inbound_.erase(it);
    std::string text = why;
    if (partial > 0) {
        text += " (" + std::to_string(partial) + " bytes of a packet unfinished)";
    }
    if (client_ && client_->transport == Transport::Tcp && client_->stream == id) {
        forgetClient(text);
    } else {
        transcript_.note("TCP " + peer.text() + ": " + text);
    }
}

void SimServer::closeStream(TcpEndpoint::StreamId id, const std::string& why) {
    if (client_ && client_->transport == Transport::Tcp && client_->stream == id) {
        forgetClient(why); // closes it
        return;
    }
    auto it = inbound_.find(id);
    if (it != inbound_.end()) {
        transcript_.note("TCP " + it->second.peer.text() + ": " + why + "; the host closes the stream");
    }
    dropStream(id);
}

void SimServer::dropStream(TcpEndpoint::StreamId id) {
    streams_.closeStream(id);
    inbound_.erase(id);
}

void SimServer::sendOnStream(const std::vector<std::uint8_t>& bytes) {
    if (faults_.silent(clock_.monotonicNow())) {
        transcript_.sent(bytes, wire(), "[TCP] (silenced)");
        return;
    }
    ++stats_.sent;
    // What is left of a packet cut before runs into this one.
    std::vector<std::uint8_t> out = std::move(cutRest_);
    cutRest_.clear();
    if (const auto cut = faults_.cutAt(bytes.size())) {
        ++stats_.cut;
        transcript_.sent(bytes, wire(),
                         "[TCP] (cut after " + std::to_string(*cut) + " of " + std::to_string(bytes.size()) +
                             " bytes)");
        out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(*cut));
        cutRest_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(*cut), bytes.end());
        if (cutRestTimer_ == 0) {
            std::weak_ptr<bool> alive = alive_;
            cutRestTimer_ = loop_.startTimer(kCutRestAfter, [this, alive] {
                if (alive.lock()) {
                    sendCutRest();
                }
            });
        }
    } else {
        transcript_.sent(bytes, wire(), "[TCP]");
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    writeToClientStream(out);
}

void SimServer::sendCutRest() {
    loop_.stopTimer(cutRestTimer_);
    cutRestTimer_ = 0;
    if (cutRest_.empty() || !client_ || client_->transport != Transport::Tcp) {
        cutRest_.clear();
        return;
    }
    const std::vector<std::uint8_t> rest = std::move(cutRest_);
    cutRest_.clear();
    writeToClientStream(rest);
}

void SimServer::writeToClientStream(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    const std::string trouble = streams_.send(client_->stream, bytes);
    if (!trouble.empty()) {
        // The stream is gone already; the link goes with it.
        inbound_.erase(client_->stream);
        forgetClient(trouble);
    }
}

} // namespace pm::sim
