#include <oru/fsm/fsm.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> CallLog;

// A state that writes each of its actions, and the event it got, to a log.
class CLoggedState : public CFSMState {
public:
    CLoggedState(CallLog& log, const char* name) : m_Log(log), m_strName(name) {}
    void OnEnter(const FSMEvent* e) override { Record("enter", e); }
    void OnUpdate(const FSMEvent* e) override { Record("update", e); }
    void OnExit(const FSMEvent* e) override { Record("exit", e); }

    const FSMEvent* m_pLastEvent = nullptr;

private:
    void Record(const char* action, const FSMEvent* e)
    {
        m_Log.push_back(m_strName + ":" + action);
        m_pLastEvent = e;
    }

    CallLog& m_Log;
    std::string m_strName;
};

// A machine whose own actions are logged under the name "M".
class CLoggedMachine : public CFSM {
public:
    explicit CLoggedMachine(CallLog& log) : m_Log(&log) {}
    void OnEnter(const FSMEvent*) override { m_Log->push_back("M:enter"); }
    void OnUpdate(const FSMEvent*) override { m_Log->push_back("M:update"); }
    void OnExit(const FSMEvent*) override { m_Log->push_back("M:exit"); }

    void UseLog(CallLog& log) { m_Log = &log; }
    using CFSM::GetBuiltInState;

private:
    CallLog* m_Log;
};

class FlatMachine : public ::testing::Test {
protected:
    CallLog m_Log;
    CLoggedMachine m_Machine{m_Log};
    CLoggedState m_A{m_Log, "A"};
    CLoggedState m_B{m_Log, "B"};
};

TEST_F(FlatMachine, ANewMachineUpdatesItsOwnActionOnly)
{
    m_Machine.Update(nullptr);
    m_Machine.Update(nullptr);
    EXPECT_EQ(m_Log, (CallLog{"M:update", "M:update"}));
}

TEST_F(FlatMachine, AChangeWaitsForTheNextUpdateAndRunsExitEnterUpdate)
{
    FSMEvent event;
    EXPECT_TRUE(m_Machine.Transitive(m_A));
    EXPECT_TRUE(m_Log.empty());
    m_Machine.Update(&event);
    EXPECT_EQ(m_Log, (CallLog{"M:exit", "A:enter", "A:update"}));
    EXPECT_EQ(m_A.m_pLastEvent, &event);

    m_Log.clear();
    m_Machine.Update(nullptr);
    EXPECT_EQ(m_Log, (CallLog{"A:update"}));
}

TEST_F(FlatMachine, ALaterRequestReplacesAPendingOne)
{
    m_Machine.Transitive(m_A);
    m_Machine.Transitive(m_B);
    m_Machine.Update(nullptr);
    EXPECT_EQ(m_Log, (CallLog{"M:exit", "B:enter", "B:update"}));
}

TEST_F(FlatMachine, IsStateAnswersForThePendingStateOnceOneIsRequested)
{
    EXPECT_TRUE(m_Machine.IsState(m_Machine.GetBuiltInState()));
    m_Machine.Transitive(m_A);
    EXPECT_TRUE(m_Machine.IsState(m_A));
    EXPECT_FALSE(m_Machine.IsState(m_Machine.GetBuiltInState()));
    m_Machine.Update(nullptr);
    EXPECT_TRUE(m_Machine.IsState(m_A));
    EXPECT_FALSE(m_Machine.IsState(m_B));
}

TEST_F(FlatMachine, ATransitionToTheCurrentStateExitsAndReentersIt)
{
    m_Machine.Transitive(m_A);
    m_Machine.Update(nullptr);
    m_Log.clear();
    m_Machine.Transitive(m_A);
    m_Machine.Update(nullptr);
    EXPECT_EQ(m_Log, (CallLog{"A:exit", "A:enter", "A:update"}));
}

TEST_F(FlatMachine, AMachineCanReturnToItsOwnActions)
{
    m_Machine.Transitive(m_A);
    m_Machine.Update(nullptr);
    m_Log.clear();
    m_Machine.Transitive(m_Machine.GetBuiltInState());
    m_Machine.Update(nullptr);
    EXPECT_EQ(m_Log, (CallLog{"A:exit", "M:enter", "M:update"}));
}

// A state that requests the next change from inside its own update.
class CRelayState : public CFSMState {
public:
    CRelayState(CFSM& machine, CFSMState& next) : m_Machine(machine), m_Next(next) {}
    void OnEnter(const FSMEvent*) override {}
    void OnUpdate(const FSMEvent*) override { m_Machine.Transitive(m_Next); }
    void OnExit(const FSMEvent*) override {}

private:
    CFSM& m_Machine;
    CFSMState& m_Next;
};

TEST_F(FlatMachine, AChangeRequestedDuringAnUpdateWaitsForTheNextOne)
{
    CRelayState relay(m_Machine, m_A);
    m_Machine.Transitive(relay);
    m_Machine.Update(nullptr);
    EXPECT_EQ(m_Log, (CallLog{"M:exit"}));
    m_Machine.Update(nullptr);
    EXPECT_EQ(m_Log, (CallLog{"M:exit", "A:enter", "A:update"}));
}

TEST_F(FlatMachine, ACopyDrivesItsOwnActionsNotTheOriginals)
{
    CallLog copyLog;
    CLoggedMachine copy(m_Machine);
    copy.UseLog(copyLog);
    copy.Update(nullptr);
    EXPECT_TRUE(m_Log.empty());
    EXPECT_EQ(copyLog, (CallLog{"M:update"}));

    // A pending return to the built-in state is mapped to the copy's too.
    m_Machine.Transitive(m_A);
    m_Machine.Update(nullptr);
    m_Machine.Transitive(m_Machine.GetBuiltInState());
    CallLog assignedLog;
    CLoggedMachine assigned(assignedLog);
    assigned = m_Machine;
    assigned.UseLog(assignedLog);
    m_Log.clear();
    assigned.Update(nullptr);
    EXPECT_EQ(m_Log, (CallLog{"A:exit"}));
    EXPECT_EQ(assignedLog, (CallLog{"M:enter", "M:update"}));
}

// Delegates to member functions of a derived machine, virtual ones virtually.
class CDelegatingMachine : public CFSM {
public:
    void OnEnter(const FSMEvent*) override {}
    void OnUpdate(const FSMEvent*) override {}
    void OnExit(const FSMEvent*) override {}
    virtual void Walk(const FSMEvent*) { m_Log.push_back("walk"); }
    void Land(const FSMEvent*) { m_Log.push_back("land"); }
    using CFSM::GetBuiltInState;

    CallLog m_Log;
};

class CLoudMachine : public CDelegatingMachine {
public:
    void Walk(const FSMEvent*) override { m_Log.push_back("loud walk"); }
};

TEST(FSMDelegateState, CallsTheOwnersMembersAndSkipsNullOnes)
{
    CLoudMachine machine;
    CFSMDelegateState walking(&machine, static_cast<CFSM::Action>(&CDelegatingMachine::Land),
                              static_cast<CFSM::Action>(&CDelegatingMachine::Walk), nullptr);
    machine.Transitive(walking);
    machine.Update(nullptr);
    machine.Transitive(machine.GetBuiltInState());
    machine.Update(nullptr);
    EXPECT_EQ(machine.m_Log, (CallLog{"land", "loud walk"}));
}

}  // namespace
