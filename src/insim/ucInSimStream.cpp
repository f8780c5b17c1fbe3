// InSim over TCP: one stream to the host's InSim port. The stream delivers
// packets cut anywhere and run together (the framer makes them whole), and
// takes what is sent at its own pace, so whatever it has not taken yet
// waits here, in order, for its next "ready to send".

#include <algorithm>

#include "insim/Packets.h"
#include "insim/ucInSim.h"

namespace pm::insim {

namespace {
constexpr int kProtocolTcp = 6;
} // namespace

bool ucInSim::openStream() {
    framer_.reset();
    framer_.setSizeUnit(wire_->sizeUnit);
    streamOut_.clear();
    streamOpen_ = false;
    lngClientSocket_ = InSimSocket_.Connect(kProtocolTcp, serverPort_, platform::WinSock::inet_ntoa(serverAddress_));
    streamSocket_ = lngClientSocket_;
    if (streamSocket_ != 0) {
        status([&] { return "Stream(" + std::to_string(streamSocket_) + ") opening"; });
    }
    return streamSocket_ != 0;
}

void ucInSim::closeStream() {
    if (streamSocket_ == 0) {
        return;
    }
    // What is queued (the goodbye above all) goes out if the stream takes
    // it, even in the middle of a read.
    if (streamOpen_) {
        const int gathering = gathering_;
        gathering_ = 0;
        flushStream();
        gathering_ = gathering;
    }
    const std::int32_t socket = streamSocket_;
    streamSocket_ = 0; // its Closed is ours, not the host's
    streamOpen_ = false;
    streamOut_.clear();
    framer_.reset();
    InSimSocket_.CloseSocket(socket);
}

void ucInSim::ReadyToSend(std::int32_t lngSocket) {
    if (lngSocket == 0 || lngSocket != streamSocket_) {
        return;
    }
    if (!streamOpen_) {
        // The stream is open (a refused one is never ready): introduce
        // ourselves, as a datagram client does at its first tick.
        streamOpen_ = true;
        status([&] { return "Stream(" + std::to_string(lngSocket) + ") open"; });
        if (!bConnected_) {
            sendHandshake();
            return;
        }
    }
    flushStream();
}

void ucInSim::DataSent(std::int32_t lngSocket, std::int32_t lngTotal) {
    if (lngSocket != 0 && lngSocket == streamSocket_ && lngTotal >= 0) {
        streamSent_ = lngTotal;
    }
}

void ucInSim::Closed(std::int32_t lngSocket) {
    if (lngSocket == 0 || lngSocket != streamSocket_) {
        return; // one we closed ourselves, or a datagram socket
    }
    if (!streamOpen_) {
        streamLost(LinkFailure::StreamRefused,
                   host_ + ":" + std::to_string(serverPort_) +
                       " refused the InSim connection over TCP (is InSim enabled there on that port?)");
        return;
    }
    streamLost(LinkFailure::StreamClosed, "the host closed the InSim connection");
}

void ucInSim::streamLost(LinkFailure kind, const std::string& text) {
    // The socket is gone or of no further use: nothing more is sent on it,
    // not even a goodbye.
    const std::int32_t socket = streamSocket_;
    streamSocket_ = 0;
    streamOpen_ = false;
    streamOut_.clear();
    framer_.reset();
    bConnected_ = false;
    InSimSocket_.CloseSocket(socket);
    if (autoGeneration_ && upgrading_) {
        // A host that ends or refuses the stream of the higher generation,
        // rather than answer on it, would otherwise be moved up and lost
        // again at every try: like one that stays silent there, it is kept
        // on InSim 4 for the next try.
        upgrading_ = false;
        upgradeUnanswered_ = wire_;
        reportedGeneration_ = kWire4.version; // this line says it already
        notice("did not answer InSim " + std::to_string(wire_->version) + "; staying on InSim 4");
    }
    linkFailed(kind, text);
}

void ucInSim::receiveStream(std::span<const std::uint8_t> bytes) {
    const std::int32_t socket = streamSocket_;
    framer_.append(bytes);
    std::weak_ptr<bool> alive = alive_;
    ++gathering_;
    while (auto packet = framer_.next()) {
        ReceivePacket(*packet);
        // A handler may have ended this stream, opened the next one (auto
        // moving up a generation), or ended the client itself.
        if (alive.expired()) {
            return;
        }
        if (streamSocket_ != socket) {
            --gathering_;
            flushStream();
            return;
        }
    }
    --gathering_;
    if (!framer_.fault().empty()) {
        streamLost(LinkFailure::StreamUnreadable,
                   "the InSim stream from " + host_ + ":" + std::to_string(serverPort_) +
                       " cannot be read (" + framer_.fault() + "); it is closed and opened again");
        return;
    }
    flushStream();
}

void ucInSim::flushStream() {
    if (streamSocket_ == 0 || !streamOpen_ || streamOut_.empty() || flushingStream_ || gathering_ > 0) {
        return;
    }
    const std::int32_t socket = streamSocket_;
    // Sent from a buffer of its own: handlers raised meanwhile may queue
    // more (after it) or end the stream (and drop it).
    std::vector<std::uint8_t> out;
    out.swap(streamOut_);
    streamSent_ = 0;
    flushingStream_ = true;
    std::weak_ptr<bool> alive = alive_;
    InSimSocket_.Send(socket, out, 0);
    if (alive.expired()) {
        return;
    }
    flushingStream_ = false;
    if (socket != streamSocket_) {
        return; // the stream ended while sending
    }
    const auto sent = static_cast<std::size_t>(std::clamp<std::int32_t>(streamSent_, 0, static_cast<std::int32_t>(out.size())));
    streamOut_.insert(streamOut_.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent), out.end());
    if (streamOut_.size() > kStreamBacklogLimit) {
        streamLost(LinkFailure::HostNotReading,
                   "the host at " + host_ + ":" + std::to_string(serverPort_) + " has not read the last " +
                       std::to_string(streamOut_.size() / 1024) + " KiB sent; the connection is closed and opened again");
    }
}

} // namespace pm::insim
