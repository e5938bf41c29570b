#include "npc.h"

#include <cmath>

CVillager::CVillager(std::string name, float x, float y)
    : m_strName(std::move(name)), m_fX(x), m_fY(y)
{
    m_Idle.m_pNext = &m_Walk;
    m_Walk.m_pNext = &m_Idle;
    m_Greet.m_pNext = &m_Idle;
}

void CVillager::Step(float playerX, float playerY, float seconds)
{
    CWorldEvent e;
    e.m_fPlayerDistance = std::hypot(playerX - m_fX, playerY - m_fY);
    e.m_fStep = seconds;
    // A villager greets a player who comes close, whatever it was doing.
    if (e.m_fPlayerDistance < 4.0f && !IsState(m_Greet))
        Transitive(m_Greet);
    Update(&e);
}

const char* CVillager::StateName()
{
    for (CTimedState* state : {&m_Idle, &m_Walk, &m_Greet})
        if (IsState(*state))
            return state->m_szName;
    return "Spawn";
}

void CVillager::CTimedState::OnEnter(const FSMEvent*)
{
    m_fLeft = m_fSeconds;
    ++m_Owner.m_nTransitions;
}

void CVillager::CTimedState::OnUpdate(const FSMEvent* e)
{
    m_fLeft -= static_cast<const CWorldEvent*>(e)->m_fStep;
    if (m_fLeft <= 0)
        m_Owner.Transitive(*m_pNext);
}

//   Top
//   +-- Alive
//   |   +-- Calm      (Wander, Sleep)
//   |   +-- Hostile   (Stalk, Attack)
//   +-- Dead

CWolf::CWolf() : CHFSM(&CWolf::Spawn)
{
    const Event start{SIG_EMPTY};
    Init(&start);
}

void CWolf::Step(float playerDistance)
{
    const bool nearNow = playerDistance < 12.0f;
    if (nearNow != m_bNear) {
        m_bNear = nearNow;
        const CSignal seen(nearNow ? SIG_PLAYER_NEAR : SIG_PLAYER_FAR);
        Dispatch(&seen);
    }
    if (nearNow && playerDistance < 3.0f) {
        const CSignal hit(SIG_HIT);
        Dispatch(&hit);
    }
    const CSignal tick(SIG_TICK);
    Dispatch(&tick);
}

const char* CWolf::StateName()
{
    if (IsIn(&CWolf::Dead))
        return "Dead";
    if (IsIn(&CWolf::Attack))
        return "Attack";
    if (IsIn(&CWolf::Stalk))
        return "Stalk";
    if (IsIn(&CWolf::Sleep))
        return "Sleep";
    return "Wander";
}

void CWolf::Spawn(const Event*)
{
    InitialState(&CWolf::Alive);
}

CHFSM::PseudoState CWolf::Alive(const Event* e)
{
    switch (e->m_nSignal) {
    case SIG_ENTRY:
        ++m_nTransitions;
        m_nHealth = 3;
        return nullptr;
    case SIG_INIT:
        InitialState(&CWolf::Calm);
        return nullptr;
    case SIG_HIT:
        if (--m_nHealth <= 0)
            Trans(&CWolf::Dead);
        return nullptr;
    }
    return Super(&CWolf::Top);
}

CHFSM::PseudoState CWolf::Calm(const Event* e)
{
    switch (e->m_nSignal) {
    case SIG_ENTRY:
        ++m_nTransitions;
        return nullptr;
    case SIG_INIT:
        InitialState(&CWolf::Wander);
        return nullptr;
    case SIG_PLAYER_NEAR:
        Trans(&CWolf::Hostile);
        return nullptr;
    }
    return Super(&CWolf::Alive);
}

// The leaves of the wolf all stay for a number of ticks, then move on.
CHFSM::PseudoState CWolf::TimedLeaf(const Event* e, int ticks, State next, PseudoState super)
{
    switch (e->m_nSignal) {
    case SIG_ENTRY:
        ++m_nTransitions;
        m_nTicks = 0;
        return nullptr;
    case SIG_TICK:
        if (++m_nTicks >= ticks)
            Trans(next);
        return nullptr;
    }
    return super;
}

CHFSM::PseudoState CWolf::Wander(const Event* e)
{
    return TimedLeaf(e, 40, ToState(&CWolf::Sleep), Super(&CWolf::Calm));
}

CHFSM::PseudoState CWolf::Sleep(const Event* e)
{
    return TimedLeaf(e, 25, ToState(&CWolf::Wander), Super(&CWolf::Calm));
}

CHFSM::PseudoState CWolf::Hostile(const Event* e)
{
    switch (e->m_nSignal) {
    case SIG_ENTRY:
        ++m_nTransitions;
        return nullptr;
    case SIG_INIT:
        InitialState(&CWolf::Stalk);
        return nullptr;
    case SIG_PLAYER_FAR:
        Trans(&CWolf::Calm);
        return nullptr;
    }
    return Super(&CWolf::Alive);
}

CHFSM::PseudoState CWolf::Stalk(const Event* e)
{
    return TimedLeaf(e, 20, ToState(&CWolf::Attack), Super(&CWolf::Hostile));
}

CHFSM::PseudoState CWolf::Attack(const Event* e)
{
    return TimedLeaf(e, 10, ToState(&CWolf::Stalk), Super(&CWolf::Hostile));
}

CHFSM::PseudoState CWolf::Dead(const Event* e)
{
    if (e->m_nSignal == SIG_ENTRY) {
        ++m_nTransitions;
        return nullptr;
    }
    return Super(&CWolf::Top);
}
