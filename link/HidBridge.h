#pragma once

#include "link/Bridge.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>

class THidDevice;

// The answers the bridge still owes to read requests given up at their time-out. The bridge
// answers in order, so a late answer comes ahead of the answers of later requests; its byte
// count tells it apart from an answer to a request of another length, and where the counts are
// alike its place in the order does.
class TOwedAnswers {
public:
    using TTime = std::chrono::steady_clock::time_point;
    // How long after giving up a request its answer is still looked for; later it counts as
    // lost, so a run of lost answers cannot make later answers be dropped.
    static constexpr std::chrono::milliseconds Lifetime{2000};

    enum class EAnswer {
        Own,       // the answer to the request waiting now
        Owed,      // of another length: a given-up request's
        OwedAlike, // of the same length as a given-up request's: taken as that one's
        Malformed, // of another length than asked for, and owed to nobody
    };

    // A request of count data bytes was given up.
    void GiveUp(std::uint8_t count, TTime now);
    // An answer of count bytes left in the queue from earlier transactions was drained.
    void TakeStale(std::uint8_t count);
    // What an answer of answerCount bytes is to a request of requestCount bytes; an owed
    // answer is paid off.
    EAnswer Classify(std::uint8_t answerCount, std::uint8_t requestCount, TTime now);
    void Clear() { FOwed.clear(); }
    bool Empty() const { return FOwed.empty(); }

private:
    struct TOwed {
        std::uint8_t Count;
        TTime GivenUp;
    };
    // Pays off the oldest answer of count bytes; false when none is owed.
    bool PayOff(std::uint8_t count);

    std::deque<TOwed> FOwed;
};

// The bridge of one meter, spoken over its HID device object: converter reads as a request,
// a force-send and an input report through the interrupt pipe; register writes as one output
// report through the control pipe; the LED through the port-line feature reports.
//
// Takes no lock of its own: callers keep to one transaction per meter at a time. Transfers
// may run on any thread; construction, destruction and SerNum run on the window's thread, as
// the HID layer asks of its device objects.
class THidBridge : public TBridge {
public:
    // How long a read transaction waits for its response. An answer that comes later is
    // dropped when it arrives, never taken as the answer of a later request.
    static constexpr std::chrono::milliseconds ResponseTimeout{1000};

    // Takes over the checked-out device (not null), starts its background reader and sends
    // nothing yet.
    explicit THidBridge(std::unique_ptr<THidDevice> NewHIDDevice);
    // Darkens the LED if the meter is still there, then releases the device.
    ~THidBridge() override;

    QString SerNum() override;

    bool Init() override;
    std::uint8_t ReadStatus() override;
    void ReadValues(TRegData& RegData) override;
    // Raises EHIDError "Conversion did not complete" when the busy bit stays set for
    // ConversionTimeout.
    void ReadCAPValues(TRegData& RegData) override;
    // A range beyond the image or beyond one output report raises EHIDError "Data Write Request
    // failed" without sending anything.
    void WriteRegs(std::uint8_t StartReg, std::uint8_t RegCount, TRegData RegData) override;
    bool LED_on() override;
    bool LED_off() override;

private:
    // One read transaction: count data bytes from register 0 on into data.
    void ReadTransaction(std::uint8_t count, std::uint8_t* data);
    bool SendPortLatch(std::uint8_t lines);

    std::unique_ptr<THidDevice> FHIDDevice;
    // Used by the transactions only, which callers keep to one at a time.
    TOwedAnswers FOwedAnswers;
};
