#include "lxdevicechange.h"

#include <algorithm>
#include <cstring>

namespace {

// No broadcast record is larger; a bigger size field is taken as this much.
constexpr std::size_t MaxRecordBytes = 4096;

// A copy of the record the header starts, made on the monitor's thread, whose record lasts only
// for the handler's call. Held in 32-bit words so that the copy is aligned like the record.
std::vector<std::uint32_t> CopyRecord(const winapi::DEV_BROADCAST_HDR* Header) {
    if (Header == nullptr) {
        return {};
    }
    const std::size_t Size = std::clamp<std::size_t>(
        Header->dbch_size, sizeof(winapi::DEV_BROADCAST_HDR), MaxRecordBytes);
    // One word more than the record needs: the copy ends in zeros, so a port name always ends.
    std::vector<std::uint32_t> Record(Size / sizeof(std::uint32_t) + 1, 0);
    std::memcpy(Record.data(), Header, Size);
    return Record;
}

} // namespace

TlxDeviceChangeNotifier::TlxDeviceChangeNotifier(QObject* AOwner)
    : QObject(AOwner),
      fMonitor([this](winapi::WPARAM Event, const winapi::DEV_BROADCAST_HDR* Header) {
          Post(Event, Header);
      }) {}

TlxDeviceChangeNotifier::~TlxDeviceChangeNotifier() {
    Stop();
}

bool TlxDeviceChangeNotifier::Start() {
    return fMonitor.Start();
}

void TlxDeviceChangeNotifier::Stop() {
    fMonitor.Stop();
    const std::lock_guard Lock(fPendingLock);
    fPending.clear();
}

void TlxDeviceChangeNotifier::Post(winapi::WPARAM Event, const winapi::DEV_BROADCAST_HDR* Header) {
    {
        const std::lock_guard Lock(fPendingLock);
        fPending.push_back({Event, CopyRecord(Header)});
    }
    // Dropped with the queue if the notifier is gone before it runs.
    fWakeUps.Post([this] { DeliverPending(); });
}

void TlxDeviceChangeNotifier::DeliverPending() {
    std::vector<TPending> Messages;
    {
        const std::lock_guard Lock(fPendingLock);
        Messages.swap(fPending);
    }
    for (const TPending& Message : Messages) {
        Deliver(Message.Event, Message.Record);
    }
}

void TlxDeviceChangeNotifier::AddReceiver(QObject* Context, TlxDeviceChangeReceiver Receiver) {
    fReceivers.push_back({Context, std::move(Receiver)});
}

void TlxDeviceChangeNotifier::AddReceiver(TlxBaseIO* Component) {
    AddReceiver(Component, [Component](const winapi::MSG& Msg) { Component->WMDeviceChange(Msg); });
}

void TlxDeviceChangeNotifier::RemoveReceiver(QObject* Context) {
    std::erase_if(fReceivers, [Context](const TReceiver& Item) { return Item.Context == Context; });
}

void TlxDeviceChangeNotifier::Deliver(winapi::WPARAM Event,
                                      const std::vector<std::uint32_t>& Record) {
    if (!Active()) {
        return;
    }
    std::erase_if(fReceivers, [](const TReceiver& Item) { return Item.Context.isNull(); });
    winapi::MSG Msg{};
    Msg.message = winapi::WM_DEVICECHANGE;
    Msg.wParam = Event;
    Msg.lParam = Record.empty() ? 0 : reinterpret_cast<winapi::LPARAM>(Record.data());
    // A copy: a receiver may register or remove receivers while it runs.
    const std::vector<TReceiver> Receivers = fReceivers;
    for (const TReceiver& Item : Receivers) {
        if (!Item.Context.isNull()) {
            Item.Receiver(Msg);
        }
    }
}
