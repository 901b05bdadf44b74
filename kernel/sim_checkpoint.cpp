#include "kernel/sim_checkpoint.h"

#include "kernel/kernel_state.h"

#include <utility>

namespace {

void drop_copies(SimCheckpoint* checkpoint) {
    for (const SimCheckpoint::Kept& kept : checkpoint->objects) {
        kept.ops->drop(kept.copy);
    }
    checkpoint->objects.clear();
    checkpoint->globals.reset();
    checkpoint->heap.reset();
    checkpoint->calendar.reset();
    checkpoint->bytes = 0;
}

/// The objects of the memory list, in order.
std::vector<SimObject*> memory_list() {
    std::vector<SimObject*> objects;
    objects.reserve(kernel.memory_count);
    SimObject* object = kernel.heap->memory_suc;
    for (uint32_t k = 0; k < kernel.memory_count; ++k, object = object->memory_suc) {
        objects.push_back(object);
    }
    return objects;
}

} // namespace

SimCheckpoint::SimCheckpoint() = default;

SimCheckpoint::~SimCheckpoint() {
    drop_copies(this);
}

SimCheckpoint::SimCheckpoint(SimCheckpoint&& other) noexcept
    : globals(std::move(other.globals)), heap(std::move(other.heap)), calendar(std::move(other.calendar)),
      objects(std::move(other.objects)), bytes(other.bytes) {
    other.objects.clear();
    other.bytes = 0;
}

SimCheckpoint& SimCheckpoint::operator=(SimCheckpoint&& other) noexcept {
    if (this != &other) {
        drop_copies(this);
        globals = std::move(other.globals);
        heap = std::move(other.heap);
        calendar = std::move(other.calendar);
        objects = std::move(other.objects);
        bytes = other.bytes;
        other.objects.clear();
        other.bytes = 0;
    }
    return *this;
}

bool sim_checkpoint_take(SimCheckpoint* checkpoint) {
    drop_copies(checkpoint);
    if (kernel.heap == nullptr || kernel.body_running) {
        return false;
    }
    const std::vector<SimObject*> list = memory_list();
    checkpoint->objects.reserve(list.size());
    for (SimObject* object : list) {
        if (object->ops == nullptr || object->ops->keep == nullptr) {
            drop_copies(checkpoint);
            return false;
        }
        checkpoint->objects.push_back({object, object->ops, object->ops->keep(object)});
        checkpoint->bytes += object->size;
    }
    checkpoint->globals = std::make_unique<KernelState>(kernel);
    checkpoint->heap = std::make_unique<SimObject>(*kernel.heap);
    checkpoint->calendar = std::make_unique<SimProcess>(*kernel.calendar);
    checkpoint->bytes += sizeof(KernelState) + sizeof(SimObject) + sizeof(SimProcess);
    return true;
}

bool sim_checkpoint_held(const SimCheckpoint& checkpoint) {
    return checkpoint.globals != nullptr;
}

bool sim_checkpoint_fits(const SimCheckpoint& checkpoint) {
    if (!sim_checkpoint_held(checkpoint) || kernel.heap == nullptr || kernel.body_running ||
        kernel.heap != checkpoint.globals->heap || kernel.calendar != checkpoint.globals->calendar ||
        kernel.memory_count < checkpoint.objects.size()) {
        return false;
    }
    SimObject* object = kernel.heap->memory_suc;
    for (const SimCheckpoint::Kept& kept : checkpoint.objects) {
        if (object != kept.object || object->self != object || object->ops != kept.ops) {
            return false;
        }
        object = object->memory_suc;
    }
    return true;
}

bool sim_checkpoint_restore(const SimCheckpoint& checkpoint) {
    if (!sim_checkpoint_fits(checkpoint)) {
        return false;
    }
    const std::vector<SimObject*> list = memory_list();
    for (const SimCheckpoint::Kept& kept : checkpoint.objects) {
        kept.ops->put_back(kept.object, kept.copy);
    }
    *kernel.heap = *checkpoint.heap;
    *kernel.calendar = *checkpoint.calendar;
    kernel = *checkpoint.globals;
    for (size_t k = checkpoint.objects.size(); k < list.size(); ++k) {
        if (list[k]->ops != nullptr) {
            list[k]->ops->forget(list[k]);
        }
    }
    return true;
}
