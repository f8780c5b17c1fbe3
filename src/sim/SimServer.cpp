#include "sim/SimServer.h"

#include <algorithm>

#include "sim/HostPackets.h"
#include "sim/PacketText.h"

namespace pm::sim {

using namespace insim;

namespace {

// Requests a host answers that Packets.h has no name for, because the client
// never sends them.
constexpr std::uint8_t kTinyPing = 3;
constexpr std::uint8_t kTinyReo = 20;

// What is wrong with the length of a packet a host takes from a client, in
// the link's generation; nullopt when it is right or not judged here.
std::optional<std::string> lengthComplaint(int type, std::size_t length, const WireGeneration& wire) {
    std::size_t least = 0;
    std::size_t most = 0;
    switch (type) {
    case ISP_TINY: least = most = IsTiny::kLength; break;
    case ISP_MST: least = most = IsMst::kLength; break;
    case ISP_BFN: least = most = IsBfn::kLength; break;
    case ISP_REO: least = most = static_cast<std::size_t>(IsReo::lengthFor(wire)); break;
    case ISP_MTC:
        // A variable text keeps at least its terminator, padded to four.
        least = wire.variableTexts ? 12 : IsMtc::kLength;
        most = static_cast<std::size_t>(8 + wire.mtcTextWidth);
        break;
    case ISP_BTN:
        least = wire.variableTexts ? 12 : IsBtn::kLength;
        most = static_cast<std::size_t>(12 + wire.btnTextWidth);
        break;
    default: return std::nullopt;
    }
    if (length >= least && length <= most) {
        return std::nullopt;
    }
    std::string text = shownName(type) + " must be " + std::to_string(least);
    if (most != least) {
        text += " to " + std::to_string(most);
    }
    text += " bytes";
    if (wire.sizeUnit != 1) {
        text += " in InSim " + std::to_string(wire.version);
    }
    return text;
}

// A received text field: what arrived of it, never more than its width.
std::size_t arrivedWidth(std::span<const std::uint8_t> d, std::size_t at, int widest) {
    return d.size() <= at ? 0 : std::min(d.size() - at, static_cast<std::size_t>(widest));
}

// Ports tried when any free one will do and the number UDP got is taken on
// TCP.
constexpr int kPortTries = 20;

} // namespace

std::string_view transportName(Transport transport) {
    return transport == Transport::Tcp ? "TCP" : "UDP";
}

SimServer::SimServer(platform::EventLoop& loop, platform::Clock& clock, SimOptions options)
    : loop_(loop), clock_(clock), options_(std::move(options)), transcript_(clock), endpoint_(loop),
      streams_(loop), faults_(options_.seed, options_.faults), world_(options_.hostName) {
    world_.setMaxCars(factsOf(options_.lfs).maxCars);
    streams_.setWaitingLimit(options_.streamWaitingLimit);
    openPort();
}

SimServer::~SimServer() {
    *alive_ = false;
    for (auto id : {keepAliveTimer_, voteTimer_, reopenTimer_, cutRestTimer_}) {
        if (id != 0) {
            loop_.stopTimer(id);
        }
    }
}

void SimServer::openPort() {
    const std::uint16_t wanted = port_ != 0 ? port_ : options_.port;
    TcpEndpoint::Handlers handlers;
    handlers.accepted = [this](TcpEndpoint::StreamId id, const Address& peer) { onStreamAccepted(id, peer); };
    handlers.received = [this](TcpEndpoint::StreamId id, std::span<const std::uint8_t> bytes) {
        onStreamBytes(id, bytes);
    };
    handlers.lost = [this](TcpEndpoint::StreamId id, const std::string& why) { onStreamLost(id, why); };
    // UDP first: with any port wanted, its number is the one TCP must get.
    for (int attempt = 1;; ++attempt) {
        openError_ = endpoint_.open(options_.bindAddress, wanted,
                                    [this](const Address& from, std::span<const std::uint8_t> d) {
                                        onPacket(Origin{Transport::Udp, from, 0}, d);
                                    });
        if (!openError_.empty()) {
            return;
        }
        openError_ = streams_.open(options_.bindAddress, endpoint_.port(), handlers);
        if (openError_.empty()) {
            port_ = endpoint_.port();
            return;
        }
        endpoint_.close();
        if (wanted != 0 || attempt == kPortTries) {
            return;
        }
    }
}

std::string SimServer::clientText() const {
    if (!client_) {
        return {};
    }
    std::string text = client_->source.text() + " (" + client_->name + ")";
    if (client_->transport == Transport::Tcp) {
        text += " over TCP";
    }
    return text;
}

std::optional<Transport> SimServer::clientTransport() const {
    return client_ ? std::optional<Transport>(client_->transport) : std::nullopt;
}

bool SimServer::demo() const {
    std::string p = options_.product;
    std::transform(p.begin(), p.end(), p.begin(), [](unsigned char c) { return std::toupper(c); });
    return p == "DEMO";
}

void SimServer::ignored(std::string_view why) {
    ++stats_.ignored;
    transcript_.note(std::string("ignored: ") + std::string(why));
}

// ---- Receiving

void SimServer::onPacket(const Origin& from, std::span<const std::uint8_t> d) {
    ++stats_.received;
    const bool fromClient = client_ && client_->isAt(from);
    const bool onStream = from.transport == Transport::Tcp;
    // An IS_ISI reads alike in every generation and names its own; the rest
    // is framed in the generation of the link it arrives on.
    const WireGeneration& framing = fromClient ? *client_->wire : kWire4;
    transcript_.received(d, framing, onStream ? "[TCP]" : "");
    if (faults_.silent(clock_.monotonicNow())) {
        ignored("silenced");
        return;
    }
    if (d.size() < 4) {
        ignored("shorter than a header");
        return;
    }
    const int type = d[1];
    if (type == ISP_ISI) {
        handleIsi(from, d);
        return;
    }
    if (!fromClient) {
        ignored("not from the InSim client (" + std::string(transportName(from.transport)) + " " +
                from.address.text() + ")");
        return;
    }
    // A stream's packets were cut by their Size byte: they match it.
    if (!onStream && static_cast<std::size_t>(framing.lengthOf(d[0])) != d.size()) {
        std::string why = "Size byte " + std::to_string(d[0]) + " but " + std::to_string(d.size()) + " bytes";
        if (framing.sizeUnit != 1) {
            why += " (InSim " + std::to_string(framing.version) + " counts 4-byte units)";
        }
        ignored(why);
        return;
    }
    if (auto wrong = lengthComplaint(type, d.size(), framing)) {
        ignored(*wrong);
        return;
    }
    dispatch(d);
}

void SimServer::dispatch(std::span<const std::uint8_t> d) {
    switch (d[1]) {
    case ISP_TINY: handleTiny(d); break;
    case ISP_MTC: // a private message to a driver
        handleMtc(d);
        break;
    case ISP_MST: // chat or a command typed as the host
        handleMst(d);
        break;
    case ISP_BTN: handleBtn(d); break;
    case ISP_BFN: handleBfn(d); break;
    case ISP_REO: // the next race's start order
        handleReo(d);
        break;
    default:
        // Packets a host sends but never takes, and types this host does not
        // simulate: a real host ignores what it does not expect.
        ignored("not taken by this host");
        break;
    }
}

void SimServer::refuseIsi(const Origin& from, const std::string& why) {
    ignored(why);
    if (from.transport == Transport::Tcp) {
        // Nothing else can come of a stream whose opening was refused.
        closeStream(from.stream, "its IS_ISI was refused");
    }
}

void SimServer::handleIsi(const Origin& from, std::span<const std::uint8_t> d) {
    const IsiReading reading = readIsi(options_.lfs, d);
    if (reading.wire == nullptr) {
        refuseIsi(from, reading.why);
        return;
    }
    const auto isi = IsIsi::fromBytes(d);
    if (!isi) {
        refuseIsi(from, "malformed IS_ISI");
        return;
    }
    if (!options_.adminPassword.empty() && isi->Admin != options_.adminPassword) {
        refuseIsi(from, "admin password incorrect");
        return;
    }
    if (client_ && !client_->isAt(from)) {
        // The old link's buttons go with it.
        world_.clearAllButtons();
        transcript_.note("a new InSim client replaces " + clientText());
        held_.clear();
        cutRest_.clear();
        if (client_->transport == Transport::Tcp) {
            dropStream(client_->stream);
            transcript_.note("its stream is closed");
        }
    }
    const bool onStream = from.transport == Transport::Tcp;
    ClientLink link;
    link.transport = from.transport;
    link.stream = from.stream;
    link.source = from.address;
    link.replyTo = Address{from.address.ip, isi->UDPPort != 0 ? isi->UDPPort : from.address.port};
    link.name = rawText(d, 28, 16);
    link.prefix = isi->Prefix.empty() ? '\0' : isi->Prefix.front();
    link.flags = isi->Flags;
    link.wire = reading.wire;
    client_ = link;
    lastSta_.reset();
    if (!onStream) {
        transcript_.note("InSim client " + clientText() + " over UDP, replies to port " +
                         std::to_string(link.replyTo.port));
    } else if (isi->UDPPort != 0) {
        // Only IS_NLP and IS_MCI would take that way, and this host sends neither.
        transcript_.note("InSim client " + clientText() + ", everything on the stream (UDP port " +
                         std::to_string(isi->UDPPort) + " asked for)");
    } else {
        transcript_.note("InSim client " + clientText() + ", everything on the stream");
    }
    transcript_.note("LFS " + std::string(releaseName(options_.lfs)) + ": " + reading.why);
    // Each fault acts on one transport; say so rather than seem to work.
    const FaultSettings& f = faults_.settings();
    if (onStream && f.dropPercent + f.duplicatePercent + f.reorderPercent > 0) {
        transcript_.note("loss, duplicates and reordering act on datagrams: none on this stream");
    } else if (!onStream && f.splitPercent > 0) {
        transcript_.note("cutting packets apart acts on streams: none for this UDP client");
    }
    if (keepAliveTimer_ != 0) {
        loop_.stopTimer(keepAliveTimer_);
    }
    keepAliveTimer_ = loop_.startTimer(options_.keepAliveEvery, [this] { keepAliveTick(); });
    if (isi->ReqI != 0) {
        sendPacket(verPacket(options_, isi->ReqI, wire()));
    }
    if (onClientConnected_) {
        onClientConnected_();
    }
}

void SimServer::handleTiny(std::span<const std::uint8_t> d) {
    const auto tiny = IsTiny::fromBytes(d);
    if (!tiny) {
        ignored("malformed IS_TINY");
        return;
    }
    const std::uint8_t reqI = tiny->ReqI;
    switch (tiny->SubT) {
    case TINY_NONE: // the answer to our keep-alive
        ++stats_.keepAliveReplies;
        client_->awaitingKeepAlive = false;
        return;
    case TINY_CLOSE: forgetClient("the client closed the link"); return;
    default: break;
    }
    if (reqI == 0) {
        ignored("a request needs a non-zero ReqI");
        return;
    }
    switch (tiny->SubT) {
    case TINY_VER: sendPacket(verPacket(options_, reqI, wire())); break;
    case kTinyPing: sendPacket(IsTiny{reqI, TINY_REPLY}); break;
    case TINY_SST: sendSta(reqI); break;
    case TINY_ISM: sendPacket(ismPacket(options_, reqI)); break;
    case TINY_NCN:
        for (const auto& [ucid, c] : world_.connections()) {
            sendPacket(ncnPacket(world_, c, demo(), reqI));
        }
        break;
    case TINY_NPL:
        for (const auto& [plid, p] : world_.players()) {
            sendPacket(nplPacket(world_, p, reqI));
        }
        break;
    case kTinyReo: sendRaceOrder(reqI); break;
    default: ignored(tinyName(tiny->SubT) + " is not simulated"); break;
    }
}

void SimServer::handleMtc(std::span<const std::uint8_t> d) {
    const auto mtc = IsMtc::fromBytes(d, wire());
    if (!mtc) {
        ignored("malformed IS_MTC");
        return;
    }
    const std::size_t width = arrivedWidth(d, 8, wire().mtcTextWidth);
    const std::string text = rawText(d, 8, width);
    if (fillsField(d, 8, width)) {
        transcript_.note("warning: text fills its field with no terminator");
    }
    std::vector<Connection*> to;
    if (mtc->PLID != 0) {
        if (const Player* p = world_.player(mtc->PLID)) {
            to = world_.addressed(p->ucid);
        } else {
            ignored("no player " + std::to_string(mtc->PLID) + ": message lost");
            return;
        }
    } else {
        to = world_.addressed(mtc->UCID);
    }
    if (to.empty()) {
        ignored("no connection " + std::to_string(mtc->UCID) + ": message lost");
        return;
    }
    std::string names;
    for (Connection* c : to) {
        world_.deliver(*c, Message{now(), text});
        names += (names.empty() ? "" : ", ") + c->name;
    }
    transcript_.note("message for " + names);
}

void SimServer::handleMst(std::span<const std::uint8_t> d) {
    if (fillsField(d, 4, static_cast<std::size_t>(wire().mstTextWidth))) {
        transcript_.note("warning: text fills its field with no terminator");
    }
    // Typed as the host; the sim neither echoes it nor runs host commands.
}

void SimServer::handleBtn(std::span<const std::uint8_t> d) {
    const auto btn = IsBtn::fromBytes(d, wire());
    if (!btn) {
        ignored("malformed IS_BTN");
        return;
    }
    if (btn->ClickID > World::kHighestClickId) {
        ignored("ClickID above " + std::to_string(World::kHighestClickId));
        return;
    }
    auto to = world_.addressed(btn->UCID);
    if (to.empty()) {
        ignored("no connection " + std::to_string(btn->UCID));
        return;
    }
    if (btn->ReqI == 0) {
        transcript_.note("warning: ReqI 0, a click on it would not be reported");
    }
    Button b;
    b.clickId = btn->ClickID;
    b.reqI = btn->ReqI;
    b.inst = btn->Inst;
    b.style = btn->BStyle;
    b.typeIn = btn->TypeIn;
    b.l = btn->L;
    b.t = btn->T;
    b.w = btn->W;
    b.h = btn->H;
    b.text = rawText(d, 12, arrivedWidth(d, 12, wire().btnTextWidth));
    for (Connection* c : to) {
        c->buttons[b.clickId] = b; // same ClickID: the button is updated
    }
}

void SimServer::handleBfn(std::span<const std::uint8_t> d) {
    const auto bfn = IsBfn::fromBytes(d, wire());
    if (!bfn) {
        ignored("malformed IS_BFN");
        return;
    }
    auto to = world_.addressed(bfn->UCID);
    if (to.empty()) {
        ignored("no connection " + std::to_string(bfn->UCID));
        return;
    }
    for (Connection* c : to) {
        if (bfn->SubT == BFN_CLEAR) {
            c->buttons.clear();
        } else if (bfn->SubT == BFN_DEL_BTN) {
            // From InSim 9 on, a ClickMax above ClickID ends a range.
            const int last = std::max<int>(bfn->ClickID, bfn->ClickMax);
            std::size_t erased = 0;
            for (int id = bfn->ClickID; id <= last; ++id) {
                erased += c->buttons.erase(static_cast<std::uint8_t>(id));
            }
            if (erased == 0) {
                transcript_.note(c->name + " has no button " + std::to_string(bfn->ClickID) +
                                 (last > bfn->ClickID ? " to " + std::to_string(last) : std::string()));
            }
        } else {
            ignored("IS_BFN subtype " + std::to_string(bfn->SubT) + " comes from a host, not to it");
            return;
        }
    }
}

void SimServer::handleReo(std::span<const std::uint8_t> d) {
    const auto reo = IsReo::fromBytes(d, wire());
    if (!reo) {
        ignored("malformed IS_REO");
        return;
    }
    const auto result = world_.applyStartOrder(*reo, now(), wire().startOrderSlots);
    if (!result.applied) {
        ++stats_.startOrdersIgnored;
        ignored("no restart vote pending");
        return;
    }
    for (const auto& n : result.notes) {
        transcript_.note(n);
    }
    transcript_.note("grid applied: " + spaced(world_.gridNames()));
}

bool SimServer::reoWithheld() const {
    return client_ && client_->wire->version < factsOf(options_.lfs).reoNeedsInSim;
}

void SimServer::forgetClient(std::string_view why) {
    if (!client_) {
        return;
    }
    transcript_.note(std::string(why) + ": " + clientText() + " forgotten");
    if (client_->transport == Transport::Tcp && streams_.hasStream(client_->stream)) {
        dropStream(client_->stream);
        transcript_.note("the host closes the stream");
    }
    client_.reset();
    lastSta_.reset();
    held_.clear();
    cutRest_.clear();
    // A host takes an InSim program's buttons away with it.
    world_.clearAllButtons();
    if (keepAliveTimer_ != 0) {
        loop_.stopTimer(keepAliveTimer_);
        keepAliveTimer_ = 0;
    }
}

Outcome SimServer::keepAlive() {
    if (!client_) {
        return Outcome::fail("no InSim client");
    }
    keepAliveTick();
    return Outcome::ok();
}

void SimServer::keepAliveTick() {
    if (!client_) {
        return;
    }
    if (client_->awaitingKeepAlive) {
        ++stats_.keepAlivesUnanswered;
        transcript_.note("the last keep-alive was not answered");
    }
    client_->awaitingKeepAlive = true;
    ++stats_.keepAlivesSent;
    sendPacket(IsTiny{0, TINY_NONE});
}

// ---- Sending

void SimServer::send(const std::vector<std::uint8_t>& bytes) {
    if (!client_) {
        transcript_.sent(bytes, wire(), "(no client)");
        return;
    }
    if (client_->transport == Transport::Tcp) {
        sendOnStream(bytes);
        return;
    }
    if (!endpoint_.isOpen()) {
        transcript_.sent(bytes, wire(), "(port closed)");
        return;
    }
    if (faults_.silent(clock_.monotonicNow())) {
        transcript_.sent(bytes, wire(), "(silenced)");
        return;
    }
    switch (faults_.decide()) {
    case FaultInjector::Fate::Drop:
        ++stats_.dropped;
        transcript_.sent(bytes, wire(), "(dropped)");
        return;
    case FaultInjector::Fate::HoldBack:
        ++stats_.heldBack;
        transcript_.sent(bytes, wire(), "(held back)");
        held_.push_back(bytes);
        if (!flushPosted_) {
            // Nothing newer may follow in this turn; it still arrives late.
            flushPosted_ = true;
            std::weak_ptr<bool> alive = alive_;
            loop_.post([this, alive] {
                if (alive.lock()) {
                    flushPosted_ = false;
                    releaseHeld();
                }
            });
        }
        return;
    case FaultInjector::Fate::Duplicate:
        ++stats_.duplicated;
        transcript_.sent(bytes, wire(), "(duplicated)");
        stats_.sent += endpoint_.sendTo(client_->replyTo, bytes) ? 1 : 0;
        stats_.sent += endpoint_.sendTo(client_->replyTo, bytes) ? 1 : 0;
        break;
    case FaultInjector::Fate::Send:
        transcript_.sent(bytes, wire());
        stats_.sent += endpoint_.sendTo(client_->replyTo, bytes) ? 1 : 0;
        break;
    }
    releaseHeld();
}

void SimServer::releaseHeld() {
    if (held_.empty() || !client_) {
        held_.clear();
        return;
    }
    transcript_.note("released " + std::to_string(held_.size()) + " held-back datagram(s)");
    while (!held_.empty()) {
        stats_.sent += endpoint_.sendTo(client_->replyTo, held_.front()) ? 1 : 0;
        held_.pop_front();
    }
}

} // namespace pm::sim
