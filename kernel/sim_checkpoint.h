// A copy of the model kept in the process, and putting it back: how the window goes back to an earlier
// point of its run without simulating everything from time 0 again.
//
// A checkpoint, taken between two steps, holds the kernel's globals (the time, the current process, the
// sequencing set and its index, the step count and the insertion counter, the error), the Heap's and the
// Calendar's records, and a copy of every object of the memory list, in order, made by its record
// operations (SimRecordOps: a process that owns a record is copied with it). Copies are C++ copies, so a
// record's vectors are copied with their contents, and pointers keep their values: every object is put
// back into itself, at the address it has always had.
//
// Putting it back (sim_checkpoint_restore) is possible while the memory list still begins with the kept
// objects in their order, each still valid: objects made since are at its end then. The kept records are
// put back, the globals and the two kernel records after them (so the memory list and the sequencing set
// are as they were, and the newer objects are in neither), and the newer objects are freed by their
// `forget` operation, which runs no model destructor: a destructor would unlink from neighbours that no
// longer know the object. A model that disposed of an object since the checkpoint does not fit; nothing
// is changed then.
//
// Model state outside the kernel's objects (the cluster record, a front end's own) is the caller's to keep.
// What must hold for a checkpoint to be sound: no record points into a buffer that another record's vector
// may give up after the checkpoint (the model's pointers point at kernel objects, into node memory, or at
// records outside the kernel that stay where they are).
#pragma once

#include "kernel/sim_object.h"

#include <cstdint>
#include <memory>
#include <vector>

struct KernelState;

struct SimCheckpoint {
    struct Kept {
        SimObject* object;
        const SimRecordOps* ops;
        void* copy;
    };
    std::unique_ptr<KernelState> globals;
    std::unique_ptr<SimObject> heap;      // the Heap's record
    std::unique_ptr<SimProcess> calendar; // the Calendar's record
    std::vector<Kept> objects;            // the memory list, in order
    size_t bytes = 0;                     // the kept records' sizes (their vectors' contents not counted)

    SimCheckpoint();
    ~SimCheckpoint();
    SimCheckpoint(SimCheckpoint&& other) noexcept;
    SimCheckpoint& operator=(SimCheckpoint&& other) noexcept;
    SimCheckpoint(const SimCheckpoint&) = delete;
    SimCheckpoint& operator=(const SimCheckpoint&) = delete;
};

/// Keeps the present model (between two steps) in `checkpoint`, replacing what it held. False, with the
/// checkpoint left empty, when no kernel is built, a body is running, or an object cannot be copied.
bool sim_checkpoint_take(SimCheckpoint* checkpoint);
/// Whether `checkpoint` holds a model.
bool sim_checkpoint_held(const SimCheckpoint& checkpoint);
/// Whether the present model can go back to `checkpoint` (see the file comment).
bool sim_checkpoint_fits(const SimCheckpoint& checkpoint);
/// Puts the model back as `checkpoint` holds it (between two steps); false, with nothing changed, when it
/// does not fit. The checkpoint is kept and may be put back again.
bool sim_checkpoint_restore(const SimCheckpoint& checkpoint);
