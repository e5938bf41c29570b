#include <oru/fsm/hfsm.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> CallLog;

enum { SIG_GO = CHFSM::SIG_USER };

// Offered to the current state; the state named by m_pfnHandler handles it
// and, when m_pfnTarget is set, transitions there. Every state it reaches
// logs "go", so the log shows how far it climbed.
struct CGoEvent : CHFSM::Event {
    CGoEvent(CHFSM::State handler, CHFSM::State target) : CHFSM::Event{SIG_GO}
    {
        m_pfnHandler = handler;
        m_pfnTarget = target;
    }
    CHFSM::State m_pfnHandler;
    CHFSM::State m_pfnTarget;
};

// Top > A > {A1, A2}; Top > B > B1. A1 is A's initial substate, B1 is B's,
// and the machine starts in A. Entries, exits, initial transitions and game
// events are logged in the order the handlers see them; the SIG_EMPTY
// queries are not.
class CLoggedMachine : public CHFSM {
public:
    CLoggedMachine() : CHFSM(&CLoggedMachine::Initial) {}

    void Initial(const Event*) { InitialState(&CLoggedMachine::A); }

    PseudoState A(const Event* e)
    {
        return Handle("A", e, ToState(&CLoggedMachine::A), Super(&CLoggedMachine::Top),
                      ToState(&CLoggedMachine::A1));
    }
    PseudoState A1(const Event* e)
    {
        return Handle("A1", e, ToState(&CLoggedMachine::A1), Super(&CLoggedMachine::A), nullptr);
    }
    PseudoState A2(const Event* e)
    {
        return Handle("A2", e, ToState(&CLoggedMachine::A2), Super(&CLoggedMachine::A), nullptr);
    }
    PseudoState B(const Event* e)
    {
        return Handle("B", e, ToState(&CLoggedMachine::B), Super(&CLoggedMachine::Top),
                      ToState(&CLoggedMachine::B1));
    }
    PseudoState B1(const Event* e)
    {
        return Handle("B1", e, ToState(&CLoggedMachine::B1), Super(&CLoggedMachine::B), nullptr);
    }

    // Dispatches a go event that `handler` handles, with or without a
    // transition, and returns what it logged.
    template <class TH>
    CallLog Go(TH handler)
    {
        return Run(ToState(handler), nullptr);
    }
    template <class TH, class TT>
    CallLog Go(TH handler, TT target)
    {
        return Run(ToState(handler), ToState(target));
    }

    using CHFSM::GetState;
    using CHFSM::Top;
    CallLog m_Log;

private:
    CallLog Run(State handler, State target)
    {
        m_Log.clear();
        CGoEvent go(handler, target);
        Dispatch(&go);
        return m_Log;
    }

    PseudoState Handle(const char* name, const Event* e, State self, PseudoState super,
                       State initial)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Log(name, "entry");
            return nullptr;
        case SIG_EXIT:
            Log(name, "exit");
            return nullptr;
        case SIG_INIT:
            Log(name, "init");
            if (!initial)
                return super;
            InitialState(initial);
            return nullptr;
        case SIG_GO: {
            Log(name, "go");
            const CGoEvent* go = static_cast<const CGoEvent*>(e);
            if (go->m_pfnHandler != self)
                return super;
            if (go->m_pfnTarget)
                Trans(go->m_pfnTarget);
            return nullptr;
        }
        }
        return super;
    }

    void Log(const char* name, const char* what) { m_Log.push_back(std::string(name) + ":" + what); }
};

typedef CLoggedMachine M;

class HierarchicalMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Machine.Init(nullptr);
        m_Machine.m_Log.clear();
    }

    // Puts the machine in `state` (a leaf) through a transition from its
    // current leaf.
    void MoveTo(M::PseudoState (M::*state)(const CHFSM::Event*))
    {
        m_Machine.Go(m_Machine.GetState(), state);
        ASSERT_EQ(m_Machine.GetState(), M::ToState(state));
    }

    M m_Machine;
};

TEST(HierarchicalMachineStart, InitEntersEachLevelThenItsInitialSubstate)
{
    M machine;
    EXPECT_EQ(machine.GetState(), M::ToState(&M::Top));
    machine.Init(nullptr);
    EXPECT_EQ(machine.m_Log, (CallLog{"A:entry", "A:init", "A1:entry", "A1:init"}));
    EXPECT_EQ(machine.GetState(), M::ToState(&M::A1));
}

TEST(HierarchicalMachineStart, EventsBeforeInitGoToTopOnlyAndInitIsThenSpent)
{
    M machine;
    machine.Go(&M::A1, &M::B1);
    EXPECT_TRUE(machine.m_Log.empty());
    EXPECT_EQ(machine.GetState(), M::ToState(&M::Top));
    // The pseudo-state went with the first Dispatch: Init must not call it.
    machine.Init(nullptr);
    EXPECT_TRUE(machine.m_Log.empty());
    EXPECT_EQ(machine.GetState(), M::ToState(&M::Top));
}

TEST_F(HierarchicalMachine, TransitionToSelfExitsAndReenters)
{
    EXPECT_EQ(m_Machine.Go(&M::A1, &M::A1),
              (CallLog{"A1:go", "A1:exit", "A1:entry", "A1:init"}));
}

TEST_F(HierarchicalMachine, TransitionBetweenSiblingsLeavesTheParentAlone)
{
    EXPECT_EQ(m_Machine.Go(&M::A1, &M::A2), (CallLog{"A1:go", "A1:exit", "A2:entry", "A2:init"}));
    EXPECT_EQ(m_Machine.GetState(), M::ToState(&M::A2));
}

TEST_F(HierarchicalMachine, ParentHandlerTransitionToItsSubstateExitsOnlyTheLeaf)
{
    MoveTo(&M::A2);
    EXPECT_EQ(m_Machine.Go(&M::A, &M::A1),
              (CallLog{"A2:go", "A:go", "A2:exit", "A1:entry", "A1:init"}));
}

TEST_F(HierarchicalMachine, TransitionToTheSuperstateRunsItsInitialTransitionWithoutReentering)
{
    EXPECT_EQ(m_Machine.Go(&M::A1, &M::A),
              (CallLog{"A1:go", "A1:exit", "A:init", "A1:entry", "A1:init"}));
    EXPECT_EQ(m_Machine.GetState(), M::ToState(&M::A1));
}

TEST_F(HierarchicalMachine, TransitionAcrossTheRootExitsInnermostFirstAndEntersOutermostFirst)
{
    EXPECT_EQ(m_Machine.Go(&M::A1, &M::B1),
              (CallLog{"A1:go", "A1:exit", "A:exit", "B:entry", "B1:entry", "B1:init"}));
    EXPECT_EQ(m_Machine.GetState(), M::ToState(&M::B1));

    // Handled one level up: the leaf is exited before the handler's own state.
    EXPECT_EQ(m_Machine.Go(&M::B, &M::A2),
              (CallLog{"B1:go", "B:go", "B1:exit", "B:exit", "A:entry", "A2:entry", "A2:init"}));

    // To a composite state on the other side: its initial transition follows.
    EXPECT_EQ(m_Machine.Go(&M::A2, &M::B),
              (CallLog{"A2:go", "A2:exit", "A:exit", "B:entry", "B:init", "B1:entry", "B1:init"}));
}

TEST_F(HierarchicalMachine, EventsClimbUntilAStateHandlesThem)
{
    EXPECT_EQ(m_Machine.Go(&M::A), (CallLog{"A1:go", "A:go"}));
    EXPECT_EQ(m_Machine.GetState(), M::ToState(&M::A1));

    // Nobody handles it: Top drops it and the state stays.
    EXPECT_EQ(m_Machine.Go(&M::B), (CallLog{"A1:go", "A:go"}));
    EXPECT_EQ(m_Machine.GetState(), M::ToState(&M::A1));
}

TEST_F(HierarchicalMachine, IsInAnswersForTheCurrentStateAndItsSuperstates)
{
    EXPECT_TRUE(m_Machine.IsIn(&M::A1));
    EXPECT_TRUE(m_Machine.IsIn(&M::A));
    EXPECT_TRUE(m_Machine.IsIn(&M::Top));
    EXPECT_FALSE(m_Machine.IsIn(&M::A2));
    EXPECT_FALSE(m_Machine.IsIn(&M::B));
    MoveTo(&M::B1);
    EXPECT_TRUE(m_Machine.IsIn(&M::B));
    EXPECT_FALSE(m_Machine.IsIn(&M::A));
}

TEST_F(HierarchicalMachine, ACopyCarriesOnFromTheSameState)
{
    MoveTo(&M::B1);
    M copy(m_Machine);
    copy.m_Log.clear();
    EXPECT_EQ(copy.Go(&M::B1, &M::A2),
              (CallLog{"B1:go", "B1:exit", "B:exit", "A:entry", "A2:entry", "A2:init"}));
    EXPECT_EQ(m_Machine.GetState(), M::ToState(&M::B1));
}

// A chain Top > L1 > L2 > ... beside a state Other under Top; each level logs
// its entry. The machine starts in Level<1>, and whichever state is current
// handles a go event by transitioning to its target.
class CDeepMachine : public CHFSM {
public:
    CDeepMachine() : CHFSM(&CDeepMachine::Initial) {}
    void Initial(const Event*) { InitialState(&CDeepMachine::Level<1>); }

    template <int N>
    PseudoState Level(const Event* e)
    {
        if (e->m_nSignal == SIG_ENTRY) {
            m_Log.push_back("L" + std::to_string(N) + ":entry");
            return nullptr;
        }
        if (e->m_nSignal == SIG_GO)
            return HandleGo(e);
        if constexpr (N == 1)
            return Super(&CDeepMachine::Top);
        else
            return Super(&CDeepMachine::Level<N - 1>);
    }

    PseudoState Other(const Event* e)
    {
        if (e->m_nSignal == SIG_GO)
            return HandleGo(e);
        return Super(&CDeepMachine::Top);
    }

    CallLog m_Log;

private:
    PseudoState HandleGo(const Event* e)
    {
        Trans(static_cast<const CGoEvent*>(e)->m_pfnTarget);
        return nullptr;
    }
};

typedef CDeepMachine D;

TEST(DeepHierarchy, ASourceThatIsAnAncestorEntersOnlyTheLevelsBelowIt)
{
    D machine;
    machine.Init(nullptr);
    machine.m_Log.clear();
    CGoEvent go(D::ToState(&D::Level<1>), D::ToState(&D::Level<4>));
    machine.Dispatch(&go);
    EXPECT_EQ(machine.m_Log, (CallLog{"L2:entry", "L3:entry", "L4:entry"}));
    EXPECT_TRUE(machine.IsIn(&D::Level<3>));
}

TEST(DeepHierarchy, ATargetSixteenLevelsDownIsReached)
{
    D machine;
    machine.Init(nullptr);
    CGoEvent toOther(D::ToState(&D::Level<1>), D::ToState(&D::Other));
    machine.Dispatch(&toOther);
    machine.m_Log.clear();

    CGoEvent go(D::ToState(&D::Other), D::ToState(&D::Level<D::MAX_DEPTH>));
    machine.Dispatch(&go);
    ASSERT_EQ(machine.m_Log.size(), static_cast<size_t>(D::MAX_DEPTH));
    EXPECT_EQ(machine.m_Log.front(), "L1:entry");
    EXPECT_EQ(machine.m_Log.back(), "L16:entry");
    EXPECT_TRUE(machine.IsIn(&D::Level<D::MAX_DEPTH>));
}

TEST(DeepHierarchyDeathTest, ATargetDeeperThanThePathStopsWithAnAssertion)
{
    EXPECT_DEATH(
        {
            D machine;
            machine.Init(nullptr);
            CGoEvent toOther(D::ToState(&D::Level<1>), D::ToState(&D::Other));
            machine.Dispatch(&toOther);
            CGoEvent go(D::ToState(&D::Other), D::ToState(&D::Level<D::MAX_DEPTH + 1>));
            machine.Dispatch(&go);
        },
        "deeper than 16 levels");
}

}  // namespace
