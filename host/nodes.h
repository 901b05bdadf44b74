// The four nodes of the cluster and their names: the one table every part of the program names nodes from.
//
// Node order is the same in every array of the model and the front ends (controllers, hosts, applications,
// message descriptor list files, drifts, the window's panels): index 0 = M1, 1 = M2, 2 = O1, 3 = O2.
// M1 and M2 measure the motor, O1 and O2 vote and aim the laser.
#pragma once

#include <cstdint>
#include <string_view>

constexpr unsigned NODE_COUNT = 4;
constexpr unsigned NODE_M1 = 0, NODE_M2 = 1, NODE_O1 = 2, NODE_O2 = 3;
/// A set of nodes, bit n for node n (also a membership vector of the four positions).
using NodeSet = uint8_t;
constexpr NodeSet ALL_NODES = (1u << NODE_COUNT) - 1;

struct NodeNames {
    const char* name;       // "M1": the node in logs, summaries, the window and on the command line
    const char* controller; // "Controller M1": the controller's process (and trace prefix)
    const char* host;       // "HM1": the host operating system's process
};

inline constexpr NodeNames CLUSTER_NODES[NODE_COUNT] = {
    {"M1", "Controller M1", "HM1"},
    {"M2", "Controller M2", "HM2"},
    {"O1", "Controller O1", "HO1"},
    {"O2", "Controller O2", "HO2"},
};

/// The index of the node called `name` ("M1" .. "O2", as in CLUSTER_NODES), or -1 when no node is.
constexpr int node_by_name(std::string_view name) {
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if (name == CLUSTER_NODES[n].name) {
            return static_cast<int>(n);
        }
    }
    return -1;
}
