#include "SimServer.h"

#include "SimError.h"
#include "SimResponder.h"

namespace sim {

namespace {
const TBenchSettings& Checked(const TBenchSettings& Bench) {
    if (const auto problem = TBenchModel::Check(Bench))
        throw TSimError(*problem);
    return Bench;
}
} // namespace

TSimulator::TSimulator(const TBenchSettings& Bench, const TLineSettings& Line, TFaultPlan Faults)
    : fLineSettings(Line), fModel(Checked(Bench)), fFaults(std::move(Faults)), fLine(Line) {}

TRunEnd TSimulator::Run() {
    std::vector<std::uint8_t> frame;
    TClock::time_point lastByte{};
    for (;;) {
        const TLineState received = fLine.ReadFrame(fStop, frame, lastByte);
        if (received == TLineState::lsStopped)
            return TRunEnd::reStopped;
        if (received == TLineState::lsLost)
            return TRunEnd::reLineLost;
        TResponse response;
        {
            const std::lock_guard lock(fModelLock);
            response = Respond(fModel, frame);
        }
        if (!response.Request)
            continue;
        const TDelivery delivery = fFaults.Shape(*response.Request, std::move(response.Reply));
        // The turnaround counts from the request's last byte, not from the end of the silence
        // that told us the frame was complete.
        const auto start = lastByte + delivery.Delay.value_or(fLineSettings.Turnaround);
        if (!delivery.Bytes.empty()) {
            const TLineState sent = fLine.Send(delivery.Bytes, start, fStop);
            if (sent == TLineState::lsStopped)
                return TRunEnd::reStopped;
            if (sent == TLineState::lsLost)
                return TRunEnd::reLineLost;
        }
        if (delivery.HangUp) {
            if (fLine.Drain(fStop) == TLineState::lsStopped)
                return TRunEnd::reStopped;
            fLine.HangUp();
            return TRunEnd::reHungUp;
        }
    }
}

std::vector<std::uint16_t> TSimulator::Held(std::uint8_t Slave, std::uint16_t First,
                                            std::uint16_t Count) const {
    const std::lock_guard lock(fModelLock);
    return fModel.Held(Slave, First, Count);
}

} // namespace sim
