#pragma once

// The demo's non-player characters. A villager is a flat state machine whose
// states are objects; a wolf is a hierarchical state machine whose states are
// member functions. Both count the state changes they make.

#include <oru/fsm/fsm.h>
#include <oru/fsm/hfsm.h>

#include <string>

// What a character sees in one game step.
struct CWorldEvent : FSMEvent {
    float m_fPlayerDistance = 0;  // tiles
    float m_fStep = 0;            // seconds this step simulates
};

class CVillager : public CFSM {
public:
    CVillager(std::string name, float x, float y);

    void Step(float playerX, float playerY, float seconds);
    const char* StateName();
    int m_nTransitions = 0;

    // The spawn state: the machine's own actions, before the first change.
    void OnEnter(const FSMEvent*) override {}
    void OnUpdate(const FSMEvent*) override { Transitive(m_Idle); }
    void OnExit(const FSMEvent*) override {}

private:
    // A state that stays for a while, then hands over to the next one.
    class CTimedState : public CFSMState {
    public:
        CTimedState(CVillager& owner, const char* name, float seconds)
            : m_Owner(owner), m_szName(name), m_fSeconds(seconds) {}
        void OnEnter(const FSMEvent*) override;
        void OnUpdate(const FSMEvent* e) override;
        void OnExit(const FSMEvent*) override {}
        CFSMState* m_pNext = nullptr;
        CVillager& m_Owner;
        const char* m_szName;
        float m_fSeconds;
        float m_fLeft = 0;
    };

    std::string m_strName;
    float m_fX;
    float m_fY;
    CTimedState m_Idle{*this, "Idle", 0.4f};
    CTimedState m_Walk{*this, "Walk", 0.6f};
    CTimedState m_Greet{*this, "Greet", 0.3f};
};

class CWolf : public CHFSM {
public:
    enum eSignal { SIG_TICK = SIG_USER, SIG_PLAYER_NEAR, SIG_PLAYER_FAR, SIG_HIT };

    CWolf();
    void Step(float playerDistance);
    const char* StateName();
    int m_nTransitions = 0;  // states entered
    int m_nHealth = 0;

private:
    struct CSignal : Event {
        explicit CSignal(eSignal s) : Event{static_cast<uint16_t>(s)} {}
    };

    PseudoState TimedLeaf(const Event* e, int ticks, State next, PseudoState super);
    void Spawn(const Event*);
    PseudoState Alive(const Event* e);
    PseudoState Calm(const Event* e);
    PseudoState Wander(const Event* e);
    PseudoState Sleep(const Event* e);
    PseudoState Hostile(const Event* e);
    PseudoState Stalk(const Event* e);
    PseudoState Attack(const Event* e);
    PseudoState Dead(const Event* e);

    int m_nTicks = 0;
    bool m_bNear = false;
};
