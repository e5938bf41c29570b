#include <oru/fsm/fsm.h>

CFSMState::~CFSMState() = default;

CFSMDelegateState::CFSMDelegateState()
    : m_pOwner(nullptr), m_pfnEnter(nullptr), m_pfnUpdate(nullptr), m_pfnExit(nullptr)
{
}

CFSMDelegateState::CFSMDelegateState(CFSM* owner, Action enter, Action update, Action exit)
    : m_pOwner(owner), m_pfnEnter(enter), m_pfnUpdate(update), m_pfnExit(exit)
{
}

void CFSMDelegateState::OnEnter(const FSMEvent* e)
{
    if (m_pOwner && m_pfnEnter)
        (m_pOwner->*m_pfnEnter)(e);
}

void CFSMDelegateState::OnUpdate(const FSMEvent* e)
{
    if (m_pOwner && m_pfnUpdate)
        (m_pOwner->*m_pfnUpdate)(e);
}

void CFSMDelegateState::OnExit(const FSMEvent* e)
{
    if (m_pOwner && m_pfnExit)
        (m_pOwner->*m_pfnExit)(e);
}

CFSM::CFSM()
    : m_pCurrentState(&m_BuiltInState), m_pNextState(nullptr),
      m_BuiltInState(this, &CFSM::OnEnter, &CFSM::OnUpdate, &CFSM::OnExit)
{
}

// A member-wise copy would leave the copy's built-in state calling the
// original machine, and a copy whose current state is the original's
// built-in state would drive the original from then on.
CFSM::CFSM(const CFSM& other)
    : m_pCurrentState(Adopt(other, other.m_pCurrentState)),
      m_pNextState(Adopt(other, other.m_pNextState)),
      m_BuiltInState(this, &CFSM::OnEnter, &CFSM::OnUpdate, &CFSM::OnExit)
{
}

CFSM& CFSM::operator=(const CFSM& other)
{
    if (this != &other) {
        m_pCurrentState = Adopt(other, other.m_pCurrentState);
        m_pNextState = Adopt(other, other.m_pNextState);
    }
    return *this;
}

CFSM::~CFSM() = default;

CFSMState* CFSM::Adopt(const CFSM& other, CFSMState* pState)
{
    return pState == &other.m_BuiltInState ? &m_BuiltInState : pState;
}

void CFSM::Update(const FSMEvent* e)
{
    if (m_pNextState) {
        m_pCurrentState->OnExit(e);
        m_pCurrentState = m_pNextState;
        m_pNextState = nullptr;
        m_pCurrentState->OnEnter(e);
    }
    m_pCurrentState->OnUpdate(e);
}

bool CFSM::Transitive(CFSMState& state)
{
    m_pNextState = &state;
    return true;
}

bool CFSM::IsState(CFSMState& state)
{
    return m_pNextState ? m_pNextState == &state : m_pCurrentState == &state;
}
