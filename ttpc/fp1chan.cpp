#include "ttpc/fp1chan.h"

#include "kernel/access_recorder.h"
#include "kernel/random_stream.h"
#include "kernel/sim_assert.h"
#include "kernel/trace.h"
#include "ttpc/fp1busg.h"
#include "ttpc/fp1ctrl.h"
#include "ttpc/sl1func.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr const char* SOURCE = "ttpc\\fp1chan";

/// The channel process is planned only by transmit, for the end of the frame; every resumption is a
/// frame's end.
constexpr uint32_t CHANNEL_FRAME_ENDED = SIM_START;

unsigned registered_count(const TtpChannel* channel) {
    return std::min<unsigned>(channel->receiver_count, MAX_SRU_COUNT);
}

/// Position of the controller among the receivers; registered_count when it is not registered.
unsigned find_receiver(const TtpChannel* channel, const TtpController* controller) {
    const unsigned count = registered_count(channel);
    unsigned position = 0;
    while (position < count && channel->receivers[position] != controller) {
        ++position;
    }
    return position;
}

Frame& buffer_of(TtpChannel* channel, TtpController* controller) {
    return controller_frame(controller, get_channel_number(channel));
}

/// The channel is idle again; the frame record keeps its contents for the next registration's copy.
void end_transmission(TtpChannel* channel) {
    channel->busy = 0;
    set_noise(channel->frame, 0);
    channel->frame.status = FRAME_STATUS_EMPTY;
}

/// What the channel's disturbance does to the frame that ends now (counting it); FRAME_FAULT_NONE when none.
uint8_t take_disturbance(TtpChannel* channel) {
    ChannelDisturbance& d = channel->disturbance;
    uint8_t fault = d.fault;
    if (fault == FRAME_FAULT_NONE) {
        return fault;
    }
    if (fault == FRAME_FAULT_BIT_ERRORS) {
        const double bits = frame_bits(channel->frame) + CHANNEL_OVERHEAD_BITS;
        const double struck = 1.0 - std::pow(1.0 - d.bit_error_rate, bits);
        fault = d.rng != nullptr && random_uniform(d.rng, 0.0, 1.0) < struck ? FRAME_FAULT_CORRUPT
                                                                             : FRAME_FAULT_NONE;
    }
    if (d.frames_left > 0 && --d.frames_left == 0) {
        d = ChannelDisturbance{};
    }
    return fault;
}

/// A corrupted frame: frame_type inverted, as a bit flip on the wire; every receiver's check fails.
void corrupt_frame(Frame* frame) {
    set_frame_type(*frame, get_frame_type(*frame) ^ 1u);
}

void deliver(TtpChannel* channel, TtpController* sender, SentCallback sent_callback) {
    const uint8_t disturbance = take_disturbance(channel);
    if (disturbance == FRAME_FAULT_NOISE) {
        set_noise(channel->frame, 1);
    } else if (disturbance == FRAME_FAULT_CORRUPT) {
        trace(channel->process, "Frame corrupted on the channel.\n");
    } else if (disturbance == FRAME_FAULT_LOSE) {
        trace(channel->process, "Frame lost on the channel.\n");
    }
    if (get_noise(channel->frame) == 1) {
        trace(channel->process, "Noise on the channel.\n");
        channel->frame.status = FRAME_STATUS_ARRIVING;
    }
    const unsigned count = registered_count(channel);
    trace(channel->process, "Receiver count %d.\n", static_cast<int>(count));
    const bool observed = channel->delivery_observer != nullptr;
    const Frame delivered = observed ? channel->frame : Frame{}; // the callbacks may start the next frame
    uint8_t reception_faults[MAX_SRU_COUNT] = {};

    // The list is released before anyone is called back: callbacks may register or unregister.
    TtpController* receivers[MAX_SRU_COUNT];
    ReceiveCallback callbacks[MAX_SRU_COUNT];
    std::copy_n(channel->receivers, count, receivers);
    std::copy_n(channel->receive_callbacks, count, callbacks);
    channel->receiver_count = 0;

    const unsigned number = get_channel_number(channel);
    for (unsigned i = 0; i < count; ++i) {
        Frame& buffer = controller_frame(receivers[i], number);
        access_write_bytes(&buffer, sizeof(Frame));
        const uint8_t own = take_reception_fault(receivers[i], number);
        if (own != FRAME_FAULT_NONE) {
            trace(channel->process, "Frame %s for %s.\n", own == FRAME_FAULT_LOSE ? "lost" : "corrupted",
                  controller_name(receivers[i]));
        }
        reception_faults[i] = own;
        const uint8_t fault = own != FRAME_FAULT_NONE ? own : disturbance;
        if (fault == FRAME_FAULT_LOSE) {
            buffer.status = FRAME_STATUS_EMPTY; // nothing reached this receiver: it is not called back
            continue;
        }
        buffer = channel->frame;
        if (fault == FRAME_FAULT_CORRUPT) {
            corrupt_frame(&buffer);
        }
        if (callbacks[i] != nullptr) {
            callbacks[i](receivers[i], number);
        }
    }
    if (observed) {
        channel->delivery_observer(channel->observer_context, channel, delivered, disturbance,
                                   reception_faults, count, sender, receivers);
    }
    if (sent_callback != nullptr) {
        sent_callback(sender);
    }
    end_transmission(channel);
}

/// The frame has left the wire (at its end, or cut short): deliver it, or drop it if the sender's
/// guardian has closed meanwhile. Clearing sender first marks the frame as no longer in transit.
void finish_frame(TtpChannel* channel) {
    TtpController* sender = channel->sender;
    SentCallback sent_callback = channel->sent_callback;
    channel->sender = nullptr;
    channel->sent_callback = nullptr;
    if (!bus_access(channel, sender)) {
        end_transmission(channel);
        return;
    }
    deliver(channel, sender, sent_callback);
}

void apply_bit_flip(TtpChannel* channel) {
    if (channel->pending_bit_flips == 0) {
        return;
    }
    trace(channel->process, ">> Transmission error (bit flip)\n");
    corrupt_frame(&channel->frame);
    channel->bit_flips += 1;
    channel->pending_bit_flips -= 1;
}

void channel_body(SimProcess* process) {
    auto* channel = static_cast<TtpChannel*>(process->user_data);
    // An aborted frame has already been finished; a frame that is still in transit ends now.
    if (channel->busy == 1 && channel->sender != nullptr) {
        apply_bit_flip(channel);
        finish_frame(channel);
    }
    passivate(CHANNEL_FRAME_ENDED);
}

} // namespace

TtpChannel* create_channel(const char* name) {
    auto* channel = new TtpChannel{};
    std::snprintf(channel->name, sizeof channel->name, "%s", name != nullptr ? name : "");
    channel->process = create_owned_process<TtpChannel, channel_state>(channel, channel_body, channel->name);
    return channel;
}

void channel_state(const TtpChannel& channel, StateSink* sink) {
    state_feed_record(sink, &channel, sizeof channel, {state_gap(&channel, &channel.bit_flips)});
}

void set_number(TtpChannel* channel, uint32_t number) {
    check_width(number, CHANNEL_NUMBER_WIDTH, SOURCE);
    channel->number = number;
}

uint32_t get_channel_number(const TtpChannel* channel) {
    return channel->number & bit_mask(CHANNEL_NUMBER_WIDTH);
}

uint32_t register_receiver(TtpChannel* channel, TtpController* controller, ReceiveCallback callback) {
    sim_assert(controller != nullptr, "controller != NULL", SOURCE);
    const unsigned count = registered_count(channel);
    const unsigned position = find_receiver(channel, controller);
    trace(channel->process, "Registering %d. receiver: %s\n", static_cast<int>(position + 1),
          controller_name(controller));
    Frame& buffer = buffer_of(channel, controller);
    access_write_bytes(&buffer, sizeof buffer);
    buffer = channel->frame;
    if (channel->busy == 1) {
        buffer.status = FRAME_STATUS_ARRIVING;
        return channel->busy;
    }
    if (position == count) {
        sim_assert(channel->receiver_count < MAX_SRU_COUNT, "channel->receiver_count < MAX_SRU_COUNT",
                   SOURCE);
        channel->receiver_count = count + 1;
    }
    channel->receivers[position] = controller;
    channel->receive_callbacks[position] = callback;
    buffer.status = FRAME_STATUS_EMPTY;
    return channel->busy;
}

void unregister_receiver(TtpChannel* channel, TtpController* controller) {
    const unsigned count = registered_count(channel);
    const unsigned position = find_receiver(channel, controller);
    if (position == count) {
        return;
    }
    std::copy(channel->receivers + position + 1, channel->receivers + count, channel->receivers + position);
    std::copy(channel->receive_callbacks + position + 1, channel->receive_callbacks + count,
              channel->receive_callbacks + position);
    channel->receivers[count - 1] = nullptr;
    channel->receive_callbacks[count - 1] = nullptr;
    channel->receiver_count = count - 1;
}

int transmit(TtpChannel* channel, TtpController* sender, SentCallback sent_callback) {
    sim_assert(sender != nullptr, "sender != NULL", SOURCE);
    Frame& outgoing = buffer_of(channel, sender);
    const double offset = controller_send_offset(sender);
    outgoing.send_time = sim_time() + offset;
    if (!bus_access(channel, sender)) {
        return 1;
    }
    if (channel->busy == 1) {
        // Two frames on the wire garble the one in transit. A frame already being delivered is whole.
        if (channel->sender != nullptr) {
            set_noise(channel->frame, 1);
        }
        return 1;
    }
    channel->busy = 1;
    channel->sender = sender;
    channel->sent_callback = sent_callback;
    set_noise(outgoing, 0);
    outgoing.status = FRAME_STATUS_COMPLETE;
    unregister_receiver(channel, sender); // a controller never receives its own frame
    access_read_bytes(&outgoing, sizeof outgoing);
    channel->frame = outgoing;
    for (unsigned i = 0; i < registered_count(channel); ++i) {
        buffer_of(channel, channel->receivers[i]).status = FRAME_STATUS_ARRIVING;
    }
    if (channel->disturbance.fault == FRAME_FAULT_NOISE) {
        set_noise(channel->frame, 1); // sent into a noise burst
    }

    const double duration = transmission_time(channel->frame) + (offset > 0.0 ? offset : 0.0);
    // The sender's process runs, not the channel's, and the channel lives as long as the run.
    (void)schedule_after(channel->process, duration);
    trace(channel->process, "Sending %c-frame (duration %0.2f, arival at %0.2f)\n",
          channel->frame.kind == FRAME_KIND_I ? 'I' : 'N', duration, sim_time() + duration);
    return 0;
}

void abort_transmission(TtpChannel* channel, TtpController* controller) {
    if (channel->busy != 1 || controller == nullptr || channel->sender != controller) {
        return;
    }
    channel->frame.status = FRAME_STATUS_ARRIVING;
    (void)unschedule(channel->process); // the frame's end will not come: the channel is not running now
    finish_frame(channel);
}

void request_bit_flips(TtpChannel* channel, uint32_t n) {
    const uint32_t room = UINT32_MAX - channel->pending_bit_flips;
    channel->pending_bit_flips += std::min(n, room);
}

void set_channel_disturbance(TtpChannel* channel, const ChannelDisturbance& disturbance) {
    channel->disturbance = disturbance;
    if (disturbance.fault == FRAME_FAULT_NOISE && channel->busy == 1 && channel->sender != nullptr) {
        set_noise(channel->frame, 1); // the frame in transit is garbled by the burst
    }
}

void clear_channel_disturbance(TtpChannel* channel) {
    channel->disturbance = ChannelDisturbance{};
}

bool bus_access(TtpChannel* channel, TtpController* controller) {
    const BusGuardian* bg = controller != nullptr ? controller_bus_guardian(controller) : nullptr;
    if (may_send(bg, get_channel_number(channel))) {
        return true;
    }
    if (controller != nullptr && channel->blocked_callback != nullptr) {
        channel->blocked_callback(controller);
    }
    return false;
}

double transmission_time(const Frame& frame) {
    return (frame_bits(frame) + CHANNEL_OVERHEAD_BITS) * CHANNEL_BIT_TIME;
}
