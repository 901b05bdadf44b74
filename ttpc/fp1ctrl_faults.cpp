#include "ttpc/fp1busg.h"
#include "ttpc/fp1chan.h"
#include "ttpc/fp1ctrl.h"
#include "ttpc/fp1ctrl_internal.h"
#include "ttpc/sl1func.h"

void crash_controller(TtpController* c) {
    if (c->crashed != 0) {
        return;
    }
    c->crashed = 1;
    trace(trace_object(c), "Controller crashed.\n");
    (void)unschedule(c->process);
    for (SimProcess* timer : c->timer_process) {
        (void)unschedule(timer);
    }
    (void)unschedule(c->bus_guardian->process);
    for (TtpChannel* channel : c->channel) {
        if (channel != nullptr) {
            abort_transmission(channel, c);
            unregister_receiver(channel, c);
        }
    }
}

void recover_controller(TtpController* c) {
    if (c->crashed == 0) {
        return;
    }
    c->crashed = 0;
    trace(trace_object(c), "Controller recovered.\n");
    // A reset: the next pass goes through FREEZE and INIT; controller_on stays as the host left it.
    set_protocol_state(c->working_status, PS_FREEZE);
    notify_state_written(c, PS_FREEZE);
    (void)schedule_after(c->process, 0.0);
}

void babble(TtpController* c, uint8_t channels) {
    if (c->crashed != 0) {
        return;
    }
    trace(trace_object(c), "Babbling.\n");
    for (unsigned ch = 0; ch < CHANNEL_COUNT; ++ch) {
        if (((channels >> ch) & 1u) != 0 && c->channel[ch] != nullptr) {
            (void)transmit(c->channel[ch], c, nullptr); // a refusal is the guardian's to report
        }
    }
}

void set_send_offset(TtpController* c, double offset_us) {
    c->send_offset = offset_us;
}

void set_reception_fault(TtpController* c, unsigned channel, uint8_t fault, uint32_t frames) {
    c->reception_fault[channel & 1u] = fault;
    c->reception_frames_left[channel & 1u] = fault == FRAME_FAULT_NONE ? 0 : frames;
}

uint8_t take_reception_fault(TtpController* c, unsigned channel) {
    channel &= 1u;
    const uint8_t fault = c->reception_fault[channel];
    if (fault != FRAME_FAULT_NONE && c->reception_frames_left[channel] > 0 &&
        --c->reception_frames_left[channel] == 0) {
        c->reception_fault[channel] = FRAME_FAULT_NONE;
    }
    return fault;
}

void change_drift(TtpController* c, double drift) {
    update_local_time(c);
    set_drift(c, drift);
}

void jump_local_time(TtpController* c, int32_t macroticks) {
    update_local_time(c);
    const uint32_t local =
        (get_local_time(c->working_status) + static_cast<uint32_t>(macroticks)) & TIME_MASK;
    set_local_time(c->working_status, local);
    set_local_time(c->cni.status, local);
}
