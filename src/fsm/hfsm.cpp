// How a transition finds its way. The machine keeps no table of states: it
// learns the hierarchy by asking handlers for their superstate with the
// empty signal. A transition first exits from the current state up to the
// source (the state whose handler called Trans), then settles the cheap and
// common shapes directly: a transition to self, to a direct substate, to a
// sibling, to the direct superstate. Otherwise it records the target and its
// ancestors up to Top in a path on the stack, exits the source, and climbs
// from the source's superstate, exiting each state, until it meets a state on
// the path: the least common ancestor. The path below that state is entered
// outermost first, and the target's initial transitions run last, one level
// at a time. Nothing is allocated.

#include <oru/fsm/hfsm.h>

#include <oru/log/exception_handler.h>

namespace {

// The machine's own events, one per reserved signal, indexed by signal.
const CHFSM::Event RESERVED_EVENTS[] = {
    {CHFSM::SIG_EMPTY},
    {CHFSM::SIG_INIT},
    {CHFSM::SIG_ENTRY},
    {CHFSM::SIG_EXIT},
};

}  // namespace

CHFSM::CHFSM(PseudoState initial)
    : m_pfnState(&CHFSM::Top), m_pfnSource(AsState(initial))
{
}

CHFSM::~CHFSM() = default;

CHFSM::State CHFSM::Trigger(State state, long signal)
{
    return AsState((this->*state)(&RESERVED_EVENTS[signal]));
}

CHFSM::PseudoState CHFSM::Top(const Event*)
{
    return nullptr;
}

// Dispatch leaves the source null, so after the first event there is no
// pseudo-state left to run; calling through the null pointer would crash.
void CHFSM::Init(const Event* e)
{
    if (!m_pfnSource)
        return;
    PseudoState initial = AsPseudoState(m_pfnSource);
    (this->*initial)(e);
    Trigger(m_pfnState, SIG_ENTRY);
    FollowInitialTransitions();
}

// A handler that answers SIG_INIT with null has chosen a substate through
// InitialState. One that answers null without choosing would send the loop
// round the same state forever; that is a fault in the machine, reported as
// one instead of hanging the game.
void CHFSM::FollowInitialTransitions()
{
    State state = m_pfnState;
    while (!Trigger(state, SIG_INIT)) {
        if (m_pfnState == state)
            OruAssertionFailure(L"CHFSM: a state handled SIG_INIT without calling InitialState");
        state = m_pfnState;
        Trigger(state, SIG_ENTRY);
    }
}

void CHFSM::Dispatch(const Event* e)
{
    m_pfnSource = m_pfnState;
    while (m_pfnSource)
        m_pfnSource = AsState((this->*m_pfnSource)(e));
}

bool CHFSM::IsIn(State state)
{
    for (State s = m_pfnState; s; s = Trigger(s, SIG_EMPTY)) {
        if (s == state)
            return true;
    }
    return false;
}

void CHFSM::InitialState(State state)
{
    m_pfnState = state;
}

void CHFSM::Trans(State target)
{
    const State source = m_pfnSource;

    // Exit from the current state up to the source. A state that handles its
    // exit answers null and is then asked for its superstate.
    for (State s = m_pfnState; s != source;) {
        State super = Trigger(s, SIG_EXIT);
        if (!super)
            super = Trigger(s, SIG_EMPTY);
        s = super;
    }

    // path[0] ends the entry list; path[1] is the target, then its ancestors.
    State path[MAX_DEPTH + 2];
    path[0] = nullptr;
    path[1] = target;
    int last = 1;  // index of the outermost state to enter

    const State targetSuper = Trigger(target, SIG_EMPTY);
    if (source == target) {
        Trigger(source, SIG_EXIT);
    } else if (source == targetSuper) {
        // the target is a direct substate of the source: nothing to exit
    } else {
        const State sourceSuper = Trigger(source, SIG_EMPTY);
        if (sourceSuper == targetSuper) {
            Trigger(source, SIG_EXIT);
        } else if (sourceSuper == target) {
            Trigger(source, SIG_EXIT);
            last = 0;  // the target is the least common ancestor: not re-entered
        } else {
            last = RecordPathAndExit(path, source, sourceSuper, targetSuper);
        }
    }

    for (int i = last; i >= 1; --i)
        Trigger(path[i], SIG_ENTRY);

    m_pfnState = target;
    FollowInitialTransitions();
}

// Records the target's ancestors in `path` (path[1] is the target, path[2]
// its superstate) and, unless the source is one of them, exits the source and
// its ancestors up to the least common ancestor. Returns the index of the
// outermost state to enter: the one just below the least common ancestor.
int CHFSM::RecordPathAndExit(State* path, State source, State sourceSuper, State targetSuper)
{
    int last = 2;
    path[2] = targetSuper;
    for (State s = Trigger(targetSuper, SIG_EMPTY); s; s = Trigger(s, SIG_EMPTY)) {
        if (s == source)
            return last;  // the source is an ancestor of the target: nothing to exit
        if (last == MAX_DEPTH + 1)
            OruAssertionFailure(L"CHFSM: transition target is deeper than %d levels below Top",
                                MAX_DEPTH);
        path[++last] = s;
    }

    Trigger(source, SIG_EXIT);
    for (State s = sourceSuper; s; s = Trigger(s, SIG_EMPTY)) {
        for (int i = last; i >= 1; --i) {
            if (path[i] == s)
                return i - 1;
        }
        Trigger(s, SIG_EXIT);
    }
    return last;
}

void CHFSM::TransStatic(TransInfo*, State target)
{
    Trans(target);
}

void CHFSM::TransSetup(TransInfo*, State)
{
}
