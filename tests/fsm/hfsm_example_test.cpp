// A game object written as a hierarchical state machine: a soldier whose
// states nest five levels deep. Each state is one member function; it handles
// the events it cares about and answers its superstate for everything else,
// so behaviour shared by several states lives once, in their common parent.
//
//   Top
//   ├── Alive                 takes damage in every living state
//   │   ├── OnGround          can jump from any grounded state
//   │   │   ├── Standing
//   │   │   └── Moving        can stop from any moving state
//   │   │       ├── Walking
//   │   │       └── Running   drains stamina while running
//   │   │           ├── Jogging
//   │   │           └── Sprinting
//   │   └── Airborne
//   └── Dead
//
// Composite states name their initial substate in SIG_INIT, so a transition
// to OnGround ends in Standing and a transition to Running ends in Jogging.

#include <oru/fsm/hfsm.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum eSoldierSignal {
    SIG_MOVE = CHFSM::SIG_USER,
    SIG_RUN,
    SIG_SPRINT,
    SIG_STOP,
    SIG_JUMP,
    SIG_LAND,
    SIG_TICK,
    SIG_DAMAGE,
};

struct CSoldierEvent : CHFSM::Event {
    explicit CSoldierEvent(eSoldierSignal signal) : CHFSM::Event{static_cast<uint16_t>(signal)} {}
};

struct CDamageEvent : CHFSM::Event {
    explicit CDamageEvent(int amount) : CHFSM::Event{SIG_DAMAGE}, m_nAmount(amount) {}
    int m_nAmount;
};

class CSoldier : public CHFSM {
public:
    CSoldier() : CHFSM(&CSoldier::Spawn) {}

    int m_nHealth = 0;
    int m_nStamina = 0;
    int m_nSpeed = 0;
    std::vector<std::string> m_vecJournal;  // entries and exits, for the tests

    // The initial pseudo-state: where a new soldier starts.
    void Spawn(const Event*) { InitialState(&CSoldier::Alive); }

    PseudoState Alive(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Note("enter Alive");
            m_nHealth = 100;
            return nullptr;
        case SIG_INIT:
            InitialState(&CSoldier::OnGround);
            return nullptr;
        case SIG_DAMAGE:
            m_nHealth -= static_cast<const CDamageEvent*>(e)->m_nAmount;
            if (m_nHealth <= 0)
                Trans(&CSoldier::Dead);
            return nullptr;
        }
        return Super(&CSoldier::Top);
    }

    PseudoState OnGround(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Note("enter OnGround");
            return nullptr;
        case SIG_EXIT:
            Note("exit OnGround");
            return nullptr;
        case SIG_INIT:
            InitialState(&CSoldier::Standing);
            return nullptr;
        case SIG_JUMP:
            Trans(&CSoldier::Airborne);
            return nullptr;
        }
        return Super(&CSoldier::Alive);
    }

    PseudoState Standing(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Note("enter Standing");
            m_nSpeed = 0;
            return nullptr;
        case SIG_EXIT:
            Note("exit Standing");
            return nullptr;
        case SIG_MOVE:
            Trans(&CSoldier::Moving);
            return nullptr;
        }
        return Super(&CSoldier::OnGround);
    }

    // Moving has no entry or exit action of its own: it answers those
    // signals with its superstate like any other event it ignores.
    PseudoState Moving(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_INIT:
            InitialState(&CSoldier::Walking);
            return nullptr;
        case SIG_STOP:
            Trans(&CSoldier::Standing);
            return nullptr;
        }
        return Super(&CSoldier::OnGround);
    }

    PseudoState Walking(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Note("enter Walking");
            m_nSpeed = 2;
            return nullptr;
        case SIG_EXIT:
            Note("exit Walking");
            return nullptr;
        case SIG_RUN:
            Trans(&CSoldier::Running);
            return nullptr;
        }
        return Super(&CSoldier::Moving);
    }

    PseudoState Running(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Note("enter Running");
            m_nStamina = 30;
            return nullptr;
        case SIG_EXIT:
            Note("exit Running");
            return nullptr;
        case SIG_INIT:
            InitialState(&CSoldier::Jogging);
            return nullptr;
        }
        return Super(&CSoldier::Moving);
    }

    PseudoState Jogging(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Note("enter Jogging");
            m_nSpeed = 5;
            return nullptr;
        case SIG_EXIT:
            Note("exit Jogging");
            return nullptr;
        case SIG_SPRINT:
            Trans(&CSoldier::Sprinting);
            return nullptr;
        }
        return Super(&CSoldier::Running);
    }

    PseudoState Sprinting(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Note("enter Sprinting");
            m_nSpeed = 9;
            return nullptr;
        case SIG_EXIT:
            Note("exit Sprinting");
            return nullptr;
        case SIG_TICK:
            m_nStamina -= 10;
            if (m_nStamina <= 0)
                Trans(&CSoldier::Jogging);  // out of breath
            return nullptr;
        }
        return Super(&CSoldier::Running);
    }

    PseudoState Airborne(const Event* e)
    {
        switch (e->m_nSignal) {
        case SIG_ENTRY:
            Note("enter Airborne");
            return nullptr;
        case SIG_EXIT:
            Note("exit Airborne");
            return nullptr;
        case SIG_LAND:
            Trans(&CSoldier::OnGround);
            return nullptr;
        }
        return Super(&CSoldier::Alive);
    }

    PseudoState Dead(const Event* e)
    {
        if (e->m_nSignal == SIG_ENTRY) {
            Note("enter Dead");
            m_nSpeed = 0;
            return nullptr;
        }
        return Super(&CSoldier::Top);  // the dead ignore everything
    }

    void Send(eSoldierSignal signal)
    {
        CSoldierEvent e(signal);
        Dispatch(&e);
    }

    using CHFSM::GetState;

private:
    void Note(const char* text) { m_vecJournal.push_back(text); }
};

typedef std::vector<std::string> Journal;

class Soldier : public ::testing::Test {
protected:
    void SetUp() override { m_Soldier.Init(nullptr); }

    // Dispatches the signals and returns the entries and exits they caused.
    Journal After(std::initializer_list<eSoldierSignal> signals)
    {
        m_Soldier.m_vecJournal.clear();
        for (eSoldierSignal signal : signals)
            m_Soldier.Send(signal);
        return m_Soldier.m_vecJournal;
    }

    CSoldier m_Soldier;
};

TEST_F(Soldier, SpawnsStandingOnTheGround)
{
    EXPECT_EQ(m_Soldier.m_vecJournal, (Journal{"enter Alive", "enter OnGround", "enter Standing"}));
    EXPECT_EQ(m_Soldier.GetState(), CHFSM::ToState(&CSoldier::Standing));
    EXPECT_EQ(m_Soldier.m_nHealth, 100);
}

TEST_F(Soldier, SprintingIsFiveLevelsDeep)
{
    EXPECT_EQ(After({SIG_MOVE, SIG_RUN, SIG_SPRINT}),
              (Journal{"exit Standing", "enter Walking", "exit Walking", "enter Running",
                       "enter Jogging", "exit Jogging", "enter Sprinting"}));
    EXPECT_EQ(m_Soldier.m_nSpeed, 9);
    for (auto state : {&CSoldier::Alive, &CSoldier::OnGround, &CSoldier::Moving,
                       &CSoldier::Running, &CSoldier::Sprinting})
        EXPECT_TRUE(m_Soldier.IsIn(state));
    EXPECT_FALSE(m_Soldier.IsIn(&CSoldier::Airborne));
}

TEST_F(Soldier, JumpingIsHandledThreeLevelsAboveASprint)
{
    After({SIG_MOVE, SIG_RUN, SIG_SPRINT});
    EXPECT_EQ(After({SIG_JUMP}), (Journal{"exit Sprinting", "exit Running", "exit OnGround",
                                          "enter Airborne"}));
    // Jumping again means nothing in the air: nobody handles it.
    EXPECT_TRUE(After({SIG_JUMP, SIG_RUN}).empty());
    EXPECT_EQ(After({SIG_LAND}), (Journal{"exit Airborne", "enter OnGround", "enter Standing"}));
}

TEST_F(Soldier, StopsFromAnyMovingState)
{
    EXPECT_EQ(After({SIG_MOVE, SIG_RUN, SIG_STOP}),
              (Journal{"exit Standing", "enter Walking", "exit Walking", "enter Running",
                       "enter Jogging", "exit Jogging", "exit Running", "enter Standing"}));
}

TEST_F(Soldier, RunsOutOfBreathAndFallsBackToAJog)
{
    After({SIG_MOVE, SIG_RUN, SIG_SPRINT});
    EXPECT_TRUE(After({SIG_TICK, SIG_TICK}).empty());
    EXPECT_EQ(After({SIG_TICK}), (Journal{"exit Sprinting", "enter Jogging"}));
    EXPECT_EQ(m_Soldier.m_nSpeed, 5);
}

TEST_F(Soldier, DiesFromAnyLivingStateAndThenIgnoresEverything)
{
    After({SIG_MOVE, SIG_RUN, SIG_SPRINT});
    CDamageEvent graze(40);
    m_Soldier.Dispatch(&graze);
    EXPECT_EQ(m_Soldier.m_nHealth, 60);
    EXPECT_TRUE(m_Soldier.IsIn(&CSoldier::Sprinting));

    m_Soldier.m_vecJournal.clear();
    CDamageEvent blast(80);
    m_Soldier.Dispatch(&blast);
    EXPECT_EQ(m_Soldier.m_vecJournal, (Journal{"exit Sprinting", "exit Running", "exit OnGround",
                                                "enter Dead"}));
    EXPECT_TRUE(After({SIG_MOVE, SIG_JUMP, SIG_LAND}).empty());
    EXPECT_EQ(m_Soldier.GetState(), CHFSM::ToState(&CSoldier::Dead));
}

}  // namespace
