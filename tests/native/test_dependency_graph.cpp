// The dependency graph on its own: walks, invalidation, validation and the
// settle rules, with no interpreter involved.
#include "dependency_graph.hpp"
#include "graph_inspector.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace quarrine {
namespace {

using State = ValidationState;

class GraphTest : public ::testing::Test {
 protected:
  // A node registered (Invalid) and, if asked, validated.
  NodeId node(State state) {
    NodeId id = graph.add_node();
    if (state == State::PermanentlyInvalid) {
      graph.permanently_invalidate(id);
      return id;
    }
    graph.register_node(id, {});
    if (state == State::Valid) {
      graph.validate(id);
    }
    return id;
  }
  NodeId stateless() { return graph.add_node(); }

  MethodDependencyGraph graph;
};

std::vector<NodeId> reached(MethodDependencyGraph& graph, NodeId node) {
  return GraphInspector::reached_by_invalidation(graph, node);
}

TEST_F(GraphTest, WalkOfANodeWithoutChildrenIsTheNodeAlone) {
  NodeId a = stateless();
  EXPECT_EQ(reached(graph, a), std::vector<NodeId>{a});
  NodeId b = stateless();
  NodeId c = stateless();
  graph.add_parent_dependency(c, b);
  EXPECT_EQ(reached(graph, a), std::vector<NodeId>{a});
}

TEST_F(GraphTest, WalkThroughACycleReachesEachNodeOnce) {
  NodeId a = stateless(), b = stateless(), c = stateless();
  graph.add_parent_dependency(b, a);
  graph.add_parent_dependency(c, b);
  graph.add_parent_dependency(a, c);
  EXPECT_EQ(reached(graph, a), (std::vector<NodeId>{a, b, c}));
}

TEST_F(GraphTest, WalkOfADiamondReachesTheSharedNodeOnce) {
  NodeId a = stateless(), b = stateless(), c = stateless(), apart = stateless();
  graph.add_parent_dependency(b, a);
  graph.add_parent_dependency(c, a);
  graph.add_parent_dependency(c, b);
  graph.add_parent_dependency(a, apart);
  EXPECT_EQ(reached(graph, a), (std::vector<NodeId>{a, b, c}));
}

TEST_F(GraphTest, TemporaryInvalidationPassesThroughNodesThatAreNotValid) {
  NodeId a = node(State::Invalid);
  NodeId b = node(State::PermanentlyInvalid);
  NodeId c = node(State::Valid);
  graph.add_parent_dependency(b, a);
  graph.add_parent_dependency(c, b);
  graph.temporarily_invalidate(a);
  EXPECT_EQ(graph.state_of(a), State::Invalid);
  EXPECT_EQ(graph.state_of(b), State::PermanentlyInvalid);
  EXPECT_EQ(graph.state_of(c), State::Invalid);
}

TEST_F(GraphTest, InvalidationAndValidationCreateNoStateForAStatelessNode) {
  NodeId a = stateless();
  graph.temporarily_invalidate(a);
  graph.validate(a);
  EXPECT_FALSE(GraphInspector::has_state(graph, a));
  EXPECT_EQ(graph.state_of(a), State::PermanentlyInvalid);
}

TEST_F(GraphTest, ValidateKeepsValidAndPermanentlyInvalidNodes) {
  NodeId valid = node(State::Valid);
  NodeId permanent = node(State::PermanentlyInvalid);
  NodeId invalid = node(State::Invalid);
  graph.validate(valid);
  graph.validate(permanent);
  graph.validate(invalid);
  EXPECT_EQ(graph.state_of(valid), State::Valid);
  EXPECT_EQ(graph.state_of(permanent), State::PermanentlyInvalid);
  EXPECT_EQ(graph.state_of(invalid), State::Valid);
}

TEST_F(GraphTest, PermanentInvalidationDoesNotPropagate) {
  NodeId a = node(State::Valid);
  NodeId b = node(State::Valid);
  graph.add_parent_dependency(b, a);
  graph.permanently_invalidate(a);
  EXPECT_EQ(graph.state_of(a), State::PermanentlyInvalid);
  EXPECT_EQ(graph.state_of(b), State::Valid);
  NodeId c = stateless();
  graph.permanently_invalidate(c);
  EXPECT_TRUE(GraphInspector::has_state(graph, c));
}

TEST_F(GraphTest, RegistrationMakesTheNodeAChildOfEachDeclaredDependencyOnce) {
  NodeId d = stateless();
  NodeId n = graph.add_node();
  std::vector<NodeId> declared{d, d};
  graph.register_node(n, declared);
  EXPECT_EQ(graph.state_of(n), State::Invalid);
  EXPECT_EQ(graph.children_of(d).size(), 1u);
  EXPECT_TRUE(graph.children_of(d).contains(n));
  EXPECT_EQ(graph.parents_of(n).size(), 1u);
  EXPECT_FALSE(GraphInspector::has_state(graph, d));
}

TEST_F(GraphTest, EdgesAreAddedOnceAndMayLoop) {
  NodeId a = stateless(), b = stateless();
  graph.add_parent_dependency(a, b);
  graph.add_parent_dependency(a, b);
  EXPECT_EQ(graph.children_of(b).size(), 1u);
  EXPECT_TRUE(graph.children_of(a).empty());
  graph.add_parent_dependency(a, a);
  EXPECT_TRUE(graph.children_of(a).contains(a));
  EXPECT_TRUE(graph.parents_of(a).contains(a));
}

struct SettleCase {
  const char* name;
  std::vector<State> parents;
  State expected;
  bool stored;
};

class SettleTest : public GraphTest, public ::testing::WithParamInterface<SettleCase> {};

TEST_P(SettleTest, TheStateFollowsTheParents) {
  const SettleCase& c = GetParam();
  NodeId n = node(State::Invalid);
  for (State state : c.parents) {
    graph.add_parent_dependency(n, node(state));
  }
  EXPECT_EQ(GraphInspector::settle_counting_every_parent(graph, n, graph.change_count(n)), c.stored);
  EXPECT_EQ(graph.state_of(n), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Parents, SettleTest,
    ::testing::Values(SettleCase{"NoParents", {}, State::Valid, true},
                      SettleCase{"AllValid", {State::Valid, State::Valid}, State::Valid, true},
                      SettleCase{
                          "ValidAndInvalid", {State::Valid, State::Invalid}, State::Invalid, false},
                      SettleCase{"InvalidThenPermanent",
                                 {State::Invalid, State::PermanentlyInvalid},
                                 State::PermanentlyInvalid,
                                 false},
                      SettleCase{"PermanentThenInvalid",
                                 {State::PermanentlyInvalid, State::Invalid},
                                 State::PermanentlyInvalid,
                                 false},
                      SettleCase{"ValidAndPermanent",
                                 {State::Valid, State::PermanentlyInvalid},
                                 State::PermanentlyInvalid,
                                 false}),
    [](const ::testing::TestParamInfo<SettleCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(GraphTest, ANeverCalledDeclaredDependencyMakesTheNodePermanentlyInvalidAndIsNamed) {
  NodeId declared = stateless();
  NodeId n = graph.add_node();
  std::vector<NodeId> dependencies{declared};
  graph.register_node(n, dependencies);
  const MethodDependencyGraph::Settled settled = graph.settle_after_call(n, graph.begin_run(n));
  EXPECT_FALSE(settled.keep_result);
  EXPECT_EQ(settled.never_computed_parent, declared);
  EXPECT_EQ(graph.state_of(n), State::PermanentlyInvalid);
  // A parent that does not cache is no uncomputed dependency.
  NodeId uncached = node(State::PermanentlyInvalid);
  NodeId m = graph.add_node();
  std::vector<NodeId> on_uncached{uncached};
  graph.register_node(m, on_uncached);
  EXPECT_EQ(graph.settle_after_call(m, graph.begin_run(m)).never_computed_parent,
            kNoNode);
}

TEST_F(GraphTest, AnInvalidParentInvalidatesTheValidDescendants) {
  NodeId parent = node(State::Invalid);
  NodeId n = node(State::Valid);
  NodeId grandchild = node(State::Valid);
  graph.add_parent_dependency(n, parent);
  graph.add_parent_dependency(grandchild, n);
  EXPECT_FALSE(GraphInspector::settle_counting_every_parent(graph, n, graph.change_count(n)));
  EXPECT_EQ(graph.state_of(n), State::Invalid);
  EXPECT_EQ(graph.state_of(grandchild), State::Invalid);
}

TEST_F(GraphTest, ANodeThatIsItsOwnParentNeverSettlesValid) {
  NodeId n = graph.add_node();
  std::vector<NodeId> itself{n};
  graph.register_node(n, itself);
  EXPECT_FALSE(GraphInspector::settle_counting_every_parent(graph, n, graph.change_count(n)));
  EXPECT_EQ(graph.state_of(n), State::Invalid);
}

TEST_F(GraphTest, AnInvalidationFromOutsideDuringTheComputationKeepsTheResultOut) {
  NodeId input = node(State::Valid);
  NodeId n = node(State::Invalid);
  graph.add_parent_dependency(n, input);
  std::uint32_t at_start = graph.change_count(n);
  // The input is replaced while n computes: invalidated, then valid again.
  graph.temporarily_invalidate(input);
  graph.validate(input);
  EXPECT_FALSE(GraphInspector::settle_counting_every_parent(graph, n, at_start));
  EXPECT_EQ(graph.state_of(n), State::Invalid);
  // The next computation, begun after the change, settles as usual.
  EXPECT_TRUE(GraphInspector::settle_counting_every_parent(graph, n, graph.change_count(n)));
  EXPECT_EQ(graph.state_of(n), State::Valid);
}

TEST_F(GraphTest, InvalidateAllKeepsEdgesAndFinalStates) {
  NodeId a = node(State::Valid), b = node(State::Valid);
  NodeId c = node(State::PermanentlyInvalid), d = node(State::Invalid);
  graph.add_parent_dependency(b, a);
  graph.invalidate_all();
  EXPECT_EQ(graph.state_of(a), State::Invalid);
  EXPECT_EQ(graph.state_of(b), State::Invalid);
  EXPECT_EQ(graph.state_of(c), State::PermanentlyInvalid);
  EXPECT_EQ(graph.state_of(d), State::Invalid);
  EXPECT_TRUE(graph.children_of(a).contains(b));
}

TEST_F(GraphTest, ALongChainIsInvalidatedWithoutRecursion) {
  constexpr NodeId kLength = 1'000'000;
  NodeId first = node(State::Valid);
  NodeId previous = first;
  for (NodeId i = 1; i < kLength; ++i) {
    NodeId next = node(State::Valid);
    graph.add_parent_dependency(next, previous);
    previous = next;
  }
  graph.temporarily_invalidate(first);
  EXPECT_EQ(graph.state_of(previous), State::Invalid);
  EXPECT_EQ(graph.state_of(first), State::Invalid);
  EXPECT_EQ(graph.change_count(previous), 1u);
}

// Sets cross from inline storage to the heap at their fourth member; the
// members, their order and a moved-from set must survive each crossing.
TEST(NodeSetTest, KeepsMembersInOrderAcrossTheInlineLimit) {
  for (NodeId count : {1u, 3u, 4u, 7u, 40u}) {
    NodeSet set;
    std::vector<NodeId> expected;
    for (NodeId i = 0; i < count; ++i) {
      set.append(i * 7 + 1);
      expected.push_back(i * 7 + 1);
    }
    NodeSet moved(std::move(set));
    EXPECT_TRUE(set.empty());
    EXPECT_EQ(std::vector<NodeId>(moved.begin(), moved.end()), expected) << count;
    EXPECT_TRUE(moved.contains(expected.back()));
    EXPECT_FALSE(moved.contains(0));
    NodeSet assigned;
    assigned.append(99);
    assigned = std::move(moved);
    moved.append(5);  // a moved-from set is empty and usable
    EXPECT_EQ(std::vector<NodeId>(moved.begin(), moved.end()), std::vector<NodeId>{5});
    assigned.remove_last();
    expected.pop_back();
    EXPECT_EQ(std::vector<NodeId>(assigned.begin(), assigned.end()), expected) << count;
    assigned.append(1000);
    expected.push_back(1000);
    EXPECT_EQ(std::vector<NodeId>(assigned.begin(), assigned.end()), expected) << count;
  }
}

TEST_F(GraphTest, AFanInAndFanOutBeyondTheInlineLimitKeepEveryEdge) {
  NodeId hub = node(State::Valid);
  std::vector<NodeId> others;
  for (int i = 0; i < 6; ++i) {
    others.push_back(node(State::Valid));
    graph.add_parent_dependency(hub, others.back());  // fan-in of the hub
    graph.add_parent_dependency(others.back(), hub);  // fan-out of the hub
    graph.add_parent_dependency(hub, others.back());  // again: no change
  }
  EXPECT_EQ(std::vector<NodeId>(graph.parents_of(hub).begin(), graph.parents_of(hub).end()),
            others);
  EXPECT_EQ(std::vector<NodeId>(graph.children_of(hub).begin(), graph.children_of(hub).end()),
            others);
  graph.temporarily_invalidate(others[5]);
  for (NodeId other : others) {
    EXPECT_EQ(graph.state_of(other), State::Invalid);
  }
}

TEST(ValidationStateText, NamesEachState) {
  EXPECT_STREQ(validation_state_text(State::Valid), "valid");
  EXPECT_STREQ(validation_state_text(State::Invalid), "invalid");
  EXPECT_STREQ(validation_state_text(State::PermanentlyInvalid), "permanently invalid");
}

// A run settles on the parents it used: its declared dependencies and the
// parents recorded since it began. An edge that only an earlier run recorded
// stays in the graph but no longer holds the result back.
TEST_F(GraphTest, AParentThatOnlyAnEarlierRunUsedNoLongerHoldsTheResultBack) {
  NodeId declared = node(State::Valid);
  NodeId dropped = node(State::Invalid);
  NodeId used = node(State::Valid);
  NodeId n = graph.add_node();
  std::vector<NodeId> dependencies{declared};
  graph.register_node(n, dependencies);
  // The first run uses `dropped`, which is Invalid: nothing is stored.
  MethodDependencyGraph::RunStart start = graph.begin_run(n);
  graph.add_parent_dependency(n, dropped);
  EXPECT_FALSE(graph.settle_after_call(n, start).keep_result);

  start = graph.begin_run(n);
  graph.add_parent_dependency(n, used);
  EXPECT_TRUE(graph.settle_after_call(n, start).keep_result);
  EXPECT_EQ(graph.state_of(n), State::Valid);
  EXPECT_TRUE(graph.parents_of(n).contains(dropped));

  // A declared dependency counts in every run, recorded or not.
  graph.temporarily_invalidate(declared);
  start = graph.begin_run(n);
  graph.add_parent_dependency(n, used);
  EXPECT_FALSE(graph.settle_after_call(n, start).keep_result);
  EXPECT_EQ(graph.state_of(n), State::Invalid);
}

}  // namespace
}  // namespace quarrine
