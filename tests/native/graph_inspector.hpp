// What the graph's tests read of it beyond its public operations: whether a
// node has a state at all, which nodes an invalidation reaches (and how
// often), and a settle that counts every parent as used in the run.
#pragma once

#include "dependency_graph.hpp"

#include <cstddef>
#include <vector>

namespace quarrine {

struct GraphInspector {
  static bool has_state(const MethodDependencyGraph& graph, NodeId node) {
    return graph.record(node).state != MethodDependencyGraph::kNoState;
  }

  // Invalidates from `node` and lists every node that the walk reached,
  // once per time it was reached, in id order.
  static std::vector<NodeId> reached_by_invalidation(MethodDependencyGraph& graph, NodeId node) {
    std::vector<std::uint32_t> before;
    for (NodeId id = 0; id < graph.node_count(); ++id) {
      before.push_back(graph.change_count(id));
    }
    graph.temporarily_invalidate(node);
    std::vector<NodeId> reached;
    for (NodeId id = 0; id < graph.node_count(); ++id) {
      for (std::uint32_t n = before[id]; n != graph.change_count(id); ++n) {
        reached.push_back(id);
      }
    }
    return reached;
  }

  // settle_after_call for a run that began at `changes_at_start` and used
  // every parent of the node.
  static bool settle_counting_every_parent(MethodDependencyGraph& graph, NodeId node,
                                           std::uint32_t changes_at_start) {
    return graph
        .settle_after_call(node,
                           MethodDependencyGraph::RunStart{changes_at_start, 0, graph.run_epoch_})
        .keep_result;
  }
};

}  // namespace quarrine
