#include "ttpc/fp1chan.h"

#include "kernel/access_recorder.h"
#include "kernel/sim_assert.h"
#include "kernel/trace.h"
#include "ttpc/fp1busg.h"
#include "ttpc/fp1ctrl.h"
#include "ttpc/sl1func.h"

#include <algorithm>
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

void deliver(TtpChannel* channel, TtpController* sender, SentCallback sent_callback) {
    if (get_noise(channel->frame) == 1) {
        trace(channel->process, "Noise on the channel.\n");
        channel->frame.status = FRAME_STATUS_ARRIVING;
    }
    const unsigned count = registered_count(channel);
    trace(channel->process, "Receiver count %d.\n", static_cast<int>(count));
    if (channel->delivery_observer != nullptr) {
        channel->delivery_observer(channel->observer_context, channel, channel->frame);
    }

    // The list is released before anyone is called back: callbacks may register or unregister.
    TtpController* receivers[MAX_SRU_COUNT];
    ReceiveCallback callbacks[MAX_SRU_COUNT];
    std::copy_n(channel->receivers, count, receivers);
    std::copy_n(channel->receive_callbacks, count, callbacks);
    channel->receiver_count = 0;

    const unsigned number = get_channel_number(channel);
    for (unsigned i = 0; i < count; ++i) {
        access_write_bytes(&controller_frame(receivers[i], number), sizeof(Frame));
        controller_frame(receivers[i], number) = channel->frame;
        if (callbacks[i] != nullptr) {
            callbacks[i](receivers[i], number);
        }
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
    set_frame_type(channel->frame, get_frame_type(channel->frame) ^ 1u);
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
    outgoing.send_time = sim_time();
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

    const double duration = transmission_time(channel->frame);
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
