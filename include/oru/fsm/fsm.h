#pragma once

#include <oru/core/export.h>

// The record handed to every state action. The machine never reads it: a
// game derives its own events from it and casts them back in its states. The
// machine passes it through unchanged, null included.
struct FSMEvent {
};

// One state of a flat machine. States belong to the game and must outlive
// their time as the machine's current or next state.
class ORU_API CFSMState {
public:
    CFSMState() = default;
    CFSMState(const CFSMState&) = default;
    CFSMState& operator=(const CFSMState&) = default;
    virtual ~CFSMState();

    virtual void OnEnter(const FSMEvent* e) = 0;   // the state has become current
    virtual void OnUpdate(const FSMEvent* e) = 0;  // one update while current
    virtual void OnExit(const FSMEvent* e) = 0;    // the state is about to stop being current
};

class CFSM;

// A state whose actions are member functions of a machine (a class derived
// from CFSM; convert its member functions with static_cast<CFSM::Action>).
// A null action does nothing; virtual members are called virtually.
class ORU_API CFSMDelegateState : public CFSMState {
public:
    typedef void (CFSM::*Action)(const FSMEvent*);

    CFSMDelegateState();
    CFSMDelegateState(CFSM* owner, Action enter, Action update, Action exit);

    void OnEnter(const FSMEvent* e) override;
    void OnUpdate(const FSMEvent* e) override;
    void OnExit(const FSMEvent* e) override;

private:
    CFSM* m_pOwner;
    Action m_pfnEnter;
    Action m_pfnUpdate;
    Action m_pfnExit;
};

// A flat state machine driven once per frame by Update. A change of state is
// requested with Transitive and carried out at the start of the next Update,
// so a state never switches in the middle of its own processing. Until it is
// given a state, the machine is its own state: its built-in state forwards
// to the machine's OnEnter, OnUpdate and OnExit. The machine owns none of the
// states it is given. One thread drives a machine.
//
//     class CDoor : public CFSM {
//         void OnEnter(const FSMEvent*) override {}
//         void OnUpdate(const FSMEvent*) override { if (m_bKnocked) Transitive(m_Opening); }
//         void OnExit(const FSMEvent*) override {}
//         COpeningState m_Opening;
//     };
class ORU_API CFSM {
public:
    typedef CFSMDelegateState::Action Action;

    CFSM();
    // A copy takes the other machine's current and pending states, but its
    // built-in state calls the copy's own actions, never the original's.
    CFSM(const CFSM& other);
    CFSM& operator=(const CFSM& other);
    virtual ~CFSM();

    // Carries out a pending change (the old state's OnExit, then the new
    // state's OnEnter), then calls OnUpdate of the current state; the same
    // event goes to every call.
    virtual void Update(const FSMEvent* e);

    // The machine's own actions, used while its built-in state is current.
    virtual void OnEnter(const FSMEvent* e) = 0;
    virtual void OnUpdate(const FSMEvent* e) = 0;
    virtual void OnExit(const FSMEvent* e) = 0;

    // Makes `state` the state to enter at the next Update, replacing any
    // change already pending. Always true. A transition to the current state
    // exits and re-enters it.
    bool Transitive(CFSMState& state);
    // With a change pending, whether `state` is the pending state; otherwise
    // whether it is the current state. Compares addresses.
    bool IsState(CFSMState& state);

protected:
    // The built-in state, so that a machine can return to its own actions
    // with Transitive(GetBuiltInState()).
    CFSMState& GetBuiltInState() { return m_BuiltInState; }

private:
    // Maps a state of `other` into this machine: its built-in state becomes ours.
    CFSMState* Adopt(const CFSM& other, CFSMState* pState);

    CFSMState* m_pCurrentState;  // never null
    CFSMState* m_pNextState;     // null when no change is pending
    CFSMDelegateState m_BuiltInState;
};
