// A broadcast channel of the cluster ("Channel A", "Channel B").
//
// A channel carries one frame at a time from one sending controller to every controller registered as a
// receiver for the present slot. It takes the time the frame's length needs on the wire, lets the sender's
// bus guardian veto the frame when it starts and when it ends, and can garble frames on request (bit
// flips). The channel is a simulation process (user data: the record) that is passive while the bus is
// idle and is planned by transmit for the end of the frame, when it delivers.
//
// States:
//   idle          busy 0, process passive, sender null; receivers accumulate
//   transmitting  busy 1, process planned for the end of the frame, sender set
//   delivering    busy 1, sender null (the frame has left the wire), inside the end-of-frame step
//   idle again    busy 0, receiver_count 0: every receiver registers anew for the next slot
//
// Buffers. A controller keeps one Frame per channel (controller_frame(c, number)); the channel writes only
// there, and only through these transitions of the buffer's status:
//   register_receiver  copy of the frame record, status 0 (empty), or 1 (arriving) when the bus is busy
//   transmit           sender: send_time = now, status 2, noise 0; every registered receiver: status 1
//   delivery           receiver: the whole frame record (status 2, or 1 with noise when garbled)
// A frame the guardian stops at its end is delivered to nobody: the receivers stay registered, their
// buffers left at status 1, and the sender's sent callback is not called.
//
// Transmission time: (frame_bits(frame) + CHANNEL_OVERHEAD_BITS) * CHANNEL_BIT_TIME, 1,048,576 bits per
// second with time in microseconds. frame_bits is bounded by the frame's own limits (at most 16 data bytes,
// a C-state of at most 6 units), so a corrupted length word never gives a frame longer than 160 bits on the
// wire.
//
// Calls back into the channel. The receive, sent and blocked callbacks are the controllers' code and may
// call the channel again. A delivery works on the receiver list as it stood when the frame ended and
// releases that list before the first callback, so a callback that registers or unregisters cannot make
// the delivery skip, repeat or overrun a receiver. The channel stays busy until the delivery is over:
// a registration made from a callback is refused like any registration during a frame (result 1, buffer
// status 1; controllers register for the next slot after the delivery), a transmission is refused without
// touching the frame being delivered, and an abort finds nothing in transit.
//
// Disturbances (faults of the fault plan, host/fault_plan.h). A disturbance strikes the frames the channel
// delivers while it lasts, at every receiver: corrupted (frame_type inverted, as a bit flip: the receivers'
// check fails, verdict incorrect), lost (the receivers hear nothing: their buffers stay empty and they are
// not called back, verdict null), noise (a noise burst: the frame in transit when it begins, every frame
// sent and every frame delivered while it lasts is garbled, verdict invalid), or bit errors (each frame is
// corrupted with the probability that one of its bits on the wire fails at the bit error rate, drawn from
// the plan's stream). A disturbance may be limited to a number of frames. Besides, each receiver may suffer
// a reception fault of its own (set_reception_fault, fp1ctrl.h: asymmetric faults), which the delivery asks
// it for. A sender's send offset (an off-time sender, fp1ctrl.h) moves the frame's time stamp and its end.
//
// Ownership. create_channel allocates the record and its process; the process's destructor frees the
// record. Controllers are only referenced; a controller is registered at most once.
#pragma once

#include "kernel/sim_process.h"
#include "ttpc/fp1frame.h"

#include <cstdint>

struct TtpController;

/// Most receivers registered at a time.
constexpr unsigned MAX_SRU_COUNT = 64;
/// Time units per bit on the wire: 1,000,000 / 1,048,576.
constexpr double CHANNEL_BIT_TIME = 0.95367431640625;
/// Bits of every frame on the wire beyond those counted by frame_bits.
constexpr unsigned CHANNEL_OVERHEAD_BITS = 8;
constexpr unsigned CHANNEL_NUMBER_WIDTH = 16;
constexpr unsigned CHANNEL_NAME_BYTES = 32;

/// What a disturbance or a reception fault does to a frame.
enum FrameFault : uint8_t {
    FRAME_FAULT_NONE = 0,
    FRAME_FAULT_CORRUPT = 1,    // delivered with frame_type inverted: the receiver's check fails
    FRAME_FAULT_LOSE = 2,       // not delivered: the receiver hears nothing
    FRAME_FAULT_NOISE = 3,      // garbled by noise (channel-wide only)
    FRAME_FAULT_BIT_ERRORS = 4, // corrupted with the probability that a bit fails (channel-wide only)
};

struct RandomStream;

/// A channel-wide disturbance.
struct ChannelDisturbance {
    uint8_t fault = FRAME_FAULT_NONE; // FrameFault
    uint32_t frames_left = 0;         // frames still to strike; 0: until cleared
    double bit_error_rate = 0.0;      // FRAME_FAULT_BIT_ERRORS: probability that one bit fails
    RandomStream* rng = nullptr;      // FRAME_FAULT_BIT_ERRORS: the draws (not owned)
};

/// A frame was delivered into the receiver's buffer for channel_number.
using ReceiveCallback = void (*)(TtpController*, unsigned channel_number);
/// The sender's frame has been delivered (the end of its transmission).
using SentCallback = void (*)(TtpController*);
/// The sender's bus guardian refused the bus.
using BlockedCallback = void (*)(TtpController*);

struct TtpChannel {
    uint32_t number;         // 16 bits: 0 = channel A, 1 = channel B; selects buffers and guardian bit
    uint32_t busy;           // 1 from the start of a transmission to the end of its delivery
    Frame frame;             // the frame in transit: the sender's buffer as it was at the start
    TtpController* sender;   // whose frame is in transit; null while idle and while delivering
    uint32_t receiver_count; // 0 .. MAX_SRU_COUNT
    TtpController* receivers[MAX_SRU_COUNT];          // in registration order
    SentCallback sent_callback;                       // the sender's, given with the transmission
    ReceiveCallback receive_callbacks[MAX_SRU_COUNT]; // one per receiver, same order
    BlockedCallback blocked_callback;                 // called with a sender its guardian refuses
    SimProcess* process;                              // owned; named by `name`
    uint32_t pending_bit_flips;     // bit flips still to apply, one per frame that reaches its end
    uint32_t bit_flips;             // bit flips applied so far
    ChannelDisturbance disturbance; // none unless a fault strikes the channel
    /// Told of every frame the channel delivers (experiment observers), once every receiver has it: the frame
    /// as it left the wire, what a fault of the channel did to it (FrameFault) and, per receiver in
    /// registration order, what its own reception fault did (FRAME_FAULT_NONE for most), with the sender and
    /// the receivers themselves; may be null.
    void (*delivery_observer)(void* context, const TtpChannel* channel, const Frame& frame,
                              uint8_t disturbance, const uint8_t* reception_faults, unsigned receivers,
                              const TtpController* sender, TtpController* const* receiver_list);
    void* observer_context;
    char name[CHANNEL_NAME_BYTES];
};

/// Allocates an idle channel named `name` (truncated to 31 characters) with its process (not planned):
/// number 0, no receivers, no blocked callback, no bit flips.
TtpChannel* create_channel(const char* name);
/// The channel's model state (sim_state.h): the record but bit_flips, a report nothing reads.
void channel_state(const TtpChannel& channel, StateSink* sink);
/// A value above 16 bits is a programming error ("_value <= bit_mask(16)", source "ttpc\fp1chan").
void set_number(TtpChannel* channel, uint32_t number);
uint32_t get_channel_number(const TtpChannel* channel);

/// Registers the controller for the frame of the present slot and returns busy. The controller's buffer
/// first receives a copy of the frame record; on an idle bus the controller is appended (or, when already
/// registered, keeps its place with the new callback) and the buffer's status becomes 0; on a busy bus
/// nothing is registered and the status becomes 1, so the controller will find an invalid frame.
/// More than MAX_SRU_COUNT receivers is a programming error ("channel->receiver_count < MAX_SRU_COUNT").
uint32_t register_receiver(TtpChannel* channel, TtpController* controller, ReceiveCallback callback);
/// Removes the controller if it is registered; the others keep their order.
void unregister_receiver(TtpChannel* channel, TtpController* controller);

/// Starts sending the frame the sender has built in its buffer for this channel: 0 when it started, 1
/// when it was refused. Refused when the sender's guardian is closed (blocked callback called) or the bus
/// is busy; a second frame while one is in transit is a collision, and the frame in transit is delivered
/// garbled (noise, status 1).
int transmit(TtpChannel* channel, TtpController* sender, SentCallback sent_callback);
/// Ends the controller's frame now if it is the one in transit: the frame is marked incomplete (status 1)
/// and delivered at once if the guardian still lets the sender through, else dropped. Nothing otherwise.
void abort_transmission(TtpChannel* channel, TtpController* controller);
/// Inverts frame_type of each of the next n frames that reach their end (one per frame).
void request_bit_flips(TtpChannel* channel, uint32_t n);
/// Whether the controller's guardian lets it onto this channel now. A controller without guardian has no
/// access. On a refusal the blocked callback, if set, is called with the controller.
bool bus_access(TtpChannel* channel, TtpController* controller);

/// Starts a disturbance (replacing one under way); a noise burst garbles the frame in transit at once.
void set_channel_disturbance(TtpChannel* channel, const ChannelDisturbance& disturbance);
void clear_channel_disturbance(TtpChannel* channel);

/// Time the frame takes on the wire.
double transmission_time(const Frame& frame);
