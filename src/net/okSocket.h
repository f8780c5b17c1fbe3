#pragma once
// The program's only network component: IPv4 UDP (and TCP) sockets in
// non-blocking, message-notified mode, turned into events on the loop's
// thread. Handlers run synchronously and may call back into the object,
// even close the socket whose data is being delivered.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/Platform.h"

namespace pm::net {

class okSocketEvents {
public:
    virtual ~okSocketEvents() = default;
    virtual void Connected(std::int32_t /*lngSocket*/) {}
    virtual void Accepted(std::int32_t /*lngSocket*/, const std::string& /*strAddr*/,
                          std::int32_t /*intPort*/) {}
    // Data holds exactly lngLength bytes (one zero byte for a zero-length read).
    virtual void Received(std::int32_t /*lngSocket*/, std::span<const std::uint8_t> /*Data*/,
                          std::int32_t /*lngLength*/) {}
    virtual void DataSent(std::int32_t /*lngSocket*/, std::int32_t /*lngTotal*/) {}
    virtual void ReadyToSend(std::int32_t /*lngSocket*/) {}
    virtual void Closed(std::int32_t /*lngSocket*/) {}
    virtual void Error(std::int32_t /*lngSocket*/, const std::string& /*strMsg*/) {}
};

class okSocket final : public platform::IHookOwner {
public:
    static constexpr int kReceiveBuffer = 4096;
    static constexpr int kSendChunk = 8192;
    static constexpr int kBacklog = 5;
    static constexpr long kConnectMask = platform::FD_READ | platform::FD_WRITE | platform::FD_CONNECT |
                                         platform::FD_CLOSE; // 51
    static constexpr long kListenMask = platform::FD_READ | platform::FD_WRITE | platform::FD_ACCEPT |
                                        platform::FD_CLOSE; // 43
    static constexpr long kAcceptedMask = platform::FD_READ | platform::FD_WRITE | platform::FD_CLOSE; // 35

    explicit okSocket(platform::Platform& platform, okSocketEvents* events = nullptr);
    ~okSocket() override;
    okSocket(const okSocket&) = delete;
    okSocket& operator=(const okSocket&) = delete;

    void setEvents(okSocketEvents* events) { events_ = events; }

    bool Initilize(platform::HWND hWnd, platform::cWndHook& cSubclass);
    void Terminate();
    std::int32_t Connect(std::int32_t Protocol, std::int32_t Port, const std::string& Host);
    std::int32_t Listen(std::int32_t Protocol, std::int32_t Port, const std::string& IP);
    void Send(std::int32_t lngSocket, std::span<const std::uint8_t> Data, std::int32_t lngStart);
    // Whole datagrams on a datagram socket, in order, in as few system calls
    // as the platform allows; each is reported and its failures handled as
    // Send would. A stream socket gets each through Send.
    void SendMany(std::int32_t lngSocket, const std::vector<std::vector<std::uint8_t>>& datagrams);
    void CloseSocket(std::int32_t lngSocket);

    bool Initialized() const { return initialized_; }
    platform::UINT MessageId() const { return messageId_; }
    platform::HWND hWnd() const { return hWnd_; }
    // Live entries (the table's entry 0 is never used and not counted).
    int ConnectionCount() const { return static_cast<int>(connections_.size()) - 1; }
    // The sender of the datagram being delivered by Received (IPv4 address in
    // network order); lets an owner refuse datagrams from strangers.
    std::uint32_t LastSourceAddress() const { return lastSource_.sin_addr.s_addr; }
    std::int32_t LastSourcePort() const { return platform::netToHost16(lastSource_.sin_port); }

    // The hook's callback: the socket notifications arrive here.
    void WndProcHook(bool bBefore, bool& bHandled, platform::LRESULT& lReturn, platform::HWND hWnd,
                     platform::UINT uMsg, platform::WPARAM wParam, platform::LPARAM lParam,
                     std::intptr_t& lParamUser) override;

private:
    struct ConnEntry {
        platform::SOCKET Socket = 0;
        platform::SockAddrIn Addr{};
        bool PeerClosed = false;
        bool Datagram = false;
    };

    bool SocketSelect(platform::SOCKET socket, long mask);
    void SocketAccept(platform::SOCKET socket);
    void SocketReceive(platform::SOCKET socket);
    int ConnAdd(platform::SOCKET socket, const platform::SockAddrIn& address, bool datagram = false);
    int ConnFind(platform::SOCKET socket) const;
    void ConnRemove(int index);
    platform::SOCKET createSocket(std::int32_t Protocol);
    std::string lastErrorText() const;

    // Raising an event may destroy this object (its owner may go away in a
    // handler); every raise reports whether we are still alive.
    template <typename F> bool raise(F&& f);

    platform::Platform& platform_;
    platform::WinSock& ws_;
    okSocketEvents* events_;
    platform::HWND hWnd_ = 0;
    platform::UINT messageId_ = 0;
    bool initialized_ = false;
    std::vector<ConnEntry> connections_{1};
    // Sockets this object created and has not closed yet: only those may be
    // closed through it, whatever handle a caller passes.
    std::unordered_set<platform::SOCKET> owned_;
    platform::cWndHook* hook_ = nullptr;
    platform::HWND hookedWindow_ = 0;
    platform::SockAddrIn lastSource_{};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace pm::net
