// The cost of the hierarchical machine's two hot paths: an event that climbs
// three levels before a state handles it, and a transition between two
// leaves three levels down on either side of Top (three exits, three
// entries). A transition must allocate nothing: the benchmark counts the
// calls of operator new and fails if there is one. The flat machine's
// update with a change of state is timed beside them.

// First, so that its replacement of operator new is seen by all that follows.
#include "alloc_counter.h"

#include <oru/fsm/fsm.h>
#include <oru/fsm/hfsm.h>

#include <benchmark/benchmark.h>

namespace {

enum { SIG_PING = CHFSM::SIG_USER, SIG_TOGGLE };

// Top > A > A1 > A11 and Top > B > B1 > B11. PING is handled by A, three
// levels above A11; TOGGLE makes a leaf transition to the other leaf.
class CBenchMachine : public CHFSM {
public:
    CBenchMachine() : CHFSM(&CBenchMachine::Initial) {}

    void Initial(const Event*) { InitialState(&CBenchMachine::A); }

    PseudoState A(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_INIT:
            InitialState(&CBenchMachine::A1);
            return nullptr;
        case SIG_PING:
            ++m_nPings;
            return nullptr;
        case SIG_ENTRY:
        case SIG_EXIT:
            ++m_nActions;
            return nullptr;
        }
        return Super(&CBenchMachine::Top);
    }
    PseudoState A1(const Event* e) { return Inner(e, Super(&CBenchMachine::A), ToState(&CBenchMachine::A11)); }
    PseudoState A11(const Event* e) { return Leaf(e, Super(&CBenchMachine::A1), ToState(&CBenchMachine::B11)); }
    PseudoState B(const Event* e) { return Inner(e, Super(&CBenchMachine::Top), ToState(&CBenchMachine::B1)); }
    PseudoState B1(const Event* e) { return Inner(e, Super(&CBenchMachine::B), ToState(&CBenchMachine::B11)); }
    PseudoState B11(const Event* e) { return Leaf(e, Super(&CBenchMachine::B1), ToState(&CBenchMachine::A11)); }

    int64_t m_nPings = 0;
    int64_t m_nActions = 0;

private:
    PseudoState Inner(const Event* e, PseudoState super, State initial)
    {
        switch (e->m_nSignal) {
        case SIG_INIT:
            InitialState(initial);
            return nullptr;
        case SIG_ENTRY:
        case SIG_EXIT:
            ++m_nActions;
            return nullptr;
        }
        return super;
    }

    PseudoState Leaf(const Event* e, PseudoState super, State other)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
        case SIG_EXIT:
            ++m_nActions;
            return nullptr;
        case SIG_TOGGLE:
            Trans(other);
            return nullptr;
        }
        return super;
    }
};

void HFSM_DispatchHandledThreeLevelsUp(benchmark::State& state)
{
    CBenchMachine machine;
    machine.Init(nullptr);
    const CHFSM::Event ping{SIG_PING};
    for (auto _ : state)
        machine.Dispatch(&ping);
    if (machine.m_nPings != static_cast<int64_t>(state.iterations()))
        state.SkipWithError("an event was lost on its way up");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(HFSM_DispatchHandledThreeLevelsUp);

void HFSM_TransitionBetweenLeavesAcrossTop(benchmark::State& state)
{
    CBenchMachine machine;
    machine.Init(nullptr);
    const CHFSM::Event toggle{SIG_TOGGLE};
    const int64_t actionsBefore = machine.m_nActions;
    const int64_t allocationsBefore = oru::bench::Allocations();
    for (auto _ : state)
        machine.Dispatch(&toggle);
    const int64_t allocations = oru::bench::Allocations() - allocationsBefore;
    if (machine.m_nActions - actionsBefore != 6 * static_cast<int64_t>(state.iterations()))
        state.SkipWithError("a transition missed an exit or an entry");
    if (allocations != 0)
        state.SkipWithError("a transition allocated");
    state.counters["allocs"] = static_cast<double>(allocations);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(HFSM_TransitionBetweenLeavesAcrossTop);

class CCountingState : public CFSMState {
public:
    void OnEnter(const FSMEvent*) override { ++m_nCalls; }
    void OnUpdate(const FSMEvent*) override { ++m_nCalls; }
    void OnExit(const FSMEvent*) override { ++m_nCalls; }
    int64_t m_nCalls = 0;
};

class CBenchFlatMachine : public CFSM {
public:
    void OnEnter(const FSMEvent*) override {}
    void OnUpdate(const FSMEvent*) override {}
    void OnExit(const FSMEvent*) override {}
};

void FSM_UpdateWithChangeOfState(benchmark::State& state)
{
    CBenchFlatMachine machine;
    CCountingState first;
    CCountingState second;
    CCountingState* pNext = &first;
    for (auto _ : state) {
        machine.Transitive(*pNext);
        machine.Update(nullptr);
        pNext = pNext == &first ? &second : &first;
    }
    // Every update enters and updates a state and exits the one before: 3n
    // calls, less the first exit, which leaves the machine's built-in state.
    if (first.m_nCalls + second.m_nCalls != 3 * static_cast<int64_t>(state.iterations()) - 1)
        state.SkipWithError("an update missed or repeated a state's call");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FSM_UpdateWithChangeOfState);

}  // namespace
