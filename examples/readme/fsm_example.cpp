#include <oru/fsm/fsm.h>

// A door: a flat machine whose states are objects. Transitive asks for a
// change; the next Update makes it (exit, enter, update).
class CDoor : public CFSM {
public:
    class COpen : public CFSMState {
    public:
        void OnEnter(const FSMEvent*) override {}
        void OnUpdate(const FSMEvent*) override {}
        void OnExit(const FSMEvent*) override {}
    } m_Open;

    // The machine's own actions are its built-in first state.
    void OnEnter(const FSMEvent*) override {}
    void OnUpdate(const FSMEvent*) override {}
    void OnExit(const FSMEvent*) override {}
};

int main()
{
    CDoor door;
    door.Transitive(door.m_Open);
    door.Update(nullptr);
    return door.IsState(door.m_Open) ? 0 : 1;
}
