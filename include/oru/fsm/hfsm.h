#pragma once

#include <oru/core/export.h>

#include <bit>
#include <cstdint>

// The base of a hierarchical state machine. A machine is a class derived from
// CHFSM; each state is one member function, its handler. A handler receives
// every event offered to its state and answers either null (handled) or its
// superstate. The superstates form a tree whose root is Top. Events go to the
// current state and climb through its superstates until one handles them.
// A handler changes state with Trans; the machine then runs the exit actions
// from the current state up to the least common ancestor of source and
// target, the entry actions down to the target, and the target's nested
// initial transitions, in that order.
//
// There is no table of states: the hierarchy lives in the handlers' answers
// to SIG_EMPTY, and two states are the same state exactly when their handler
// pointers are equal. Handlers run synchronously inside Init, Dispatch and
// Trans, on the one thread that drives the machine.
//
//     PseudoState CPlayer::Walking(const Event* e)
//     {
//         switch (e->m_nSignal) {
//         case SIG_ENTRY: StartWalkAnimation(); return nullptr;
//         case SIG_JUMP:  Trans(&CPlayer::Jumping); return nullptr;
//         }
//         return Super(&CPlayer::OnGround);
//     }
class ORU_API CHFSM {
public:
    // An event. The machine reads nothing of it, not even the signal: it only
    // passes its address to handlers. Game events derive from it and add
    // their data after the signal.
    struct Event {
        uint16_t m_nSignal;
    };

    // Signals 0 to 3 are the machine's own; game signals start at SIG_USER.
    enum {
        SIG_EMPTY = 0,  // do nothing, return your superstate
        SIG_INIT = 1,   // call InitialState with a direct substate and return null,
                        // or return your superstate when you have none
        SIG_ENTRY = 2,  // run your entry action
        SIG_EXIT = 3,   // run your exit action
        SIG_USER = 4,
    };

    typedef void (CHFSM::*PseudoState)(const Event*);
    typedef PseudoState (CHFSM::*State)(const Event*);

    // A derived machine's initial pseudo-state, which calls InitialState with
    // a direct substate of Top when Init runs it.
    CHFSM(PseudoState initial);
    template <class TMachine>
    explicit CHFSM(void (TMachine::*initial)(const Event*))
        : CHFSM(static_cast<PseudoState>(initial))
    {
    }
    CHFSM(const CHFSM&) = default;
    CHFSM& operator=(const CHFSM&) = default;
    virtual ~CHFSM();

    // Runs the initial pseudo-state, then enters the state it chose and
    // follows the nested initial transitions down to a leaf. Does nothing once
    // a Dispatch has run: the pseudo-state is gone by then.
    void Init(const Event* e);
    // Offers `e` to the current state and its superstates until one handles it.
    void Dispatch(const Event* e);
    // True when `state` is the current state or one of its superstates (Top
    // always is).
    bool IsIn(State state);
    template <class TMachine>
    bool IsIn(PseudoState (TMachine::*state)(const Event*))
    {
        return IsIn(static_cast<State>(state));
    }
    // Makes `state` current; called by the initial pseudo-state and by a
    // handler answering SIG_INIT, with a direct substate.
    void InitialState(State state);
    template <class TMachine>
    void InitialState(PseudoState (TMachine::*state)(const Event*))
    {
        InitialState(static_cast<State>(state));
    }

    // A handler of a derived machine as a State.
    template <class TMachine>
    static State ToState(PseudoState (TMachine::*handler)(const Event*))
    {
        return static_cast<State>(handler);
    }
    // A handler as the superstate answer of another handler. The machine
    // turns it back into a State before it calls it.
    template <class TMachine>
    static PseudoState Super(PseudoState (TMachine::*handler)(const Event*))
    {
        return AsPseudoState(static_cast<State>(handler));
    }

    // The deepest target below Top that a transition accepts. A deeper target
    // stops the process with an assertion failure rather than overrun the
    // path it records.
    static constexpr int MAX_DEPTH = 16;

protected:
    // Called by a handler while Dispatch runs it, at most once per event,
    // never with Top as the target.
    void Trans(State target);
    template <class TMachine>
    void Trans(PseudoState (TMachine::*target)(const Event*))
    {
        Trans(static_cast<State>(target));
    }

    // Caller-owned scratch for TransStatic; the machine neither reads nor writes it.
    struct TransInfo {
    };
    // The same transition as Trans; `info` is not used.
    void TransStatic(TransInfo* info, State target);

    // The root: ignores every event, and so handles whatever reaches it.
    PseudoState Top(const Event* e);
    State GetState() const { return m_pfnState; }

private:
    // A state travels as a PseudoState when it is a handler's answer, and the
    // initial pseudo-state travels in the source as a State; each is turned
    // back into its own type before it is called. Both types have the same
    // representation, so the conversion is a copy of the bits.
    static_assert(sizeof(State) == sizeof(PseudoState));
    static PseudoState AsPseudoState(State state) { return std::bit_cast<PseudoState>(state); }
    static State AsState(PseudoState pseudo) { return std::bit_cast<State>(pseudo); }

    // Calls `state` with the machine's own event for `signal` (0 to 3).
    State Trigger(State state, long signal);
    // Keeps nothing; TransStatic needs no setup.
    void TransSetup(TransInfo* info, State target);
    // Sends the current state SIG_INIT and enters each substate it chooses,
    // one level deeper each time, until a state has no initial transition.
    void FollowInitialTransitions();
    // The general case of Trans: see its implementation.
    int RecordPathAndExit(State* path, State source, State sourceSuper, State targetSuper);

    State m_pfnState;    // current state; Top before Init
    State m_pfnSource;   // initial pseudo-state before the first Dispatch, then the
                         // handler being offered an event, null between events
};
