// A fault in optimised code, for the crash report tests: built with -O2, the
// two helpers below fold into main, so the return address in main stands for
// three calls at once. The tests find the lines they expect by the marks at
// the ends of lines, and run stripped copies of this program too.

#include <oru/log/exception_handler.h>

namespace {

int* volatile s_pTarget = nullptr;

// The empty asm keeps the optimiser from proving the write faults and
// dropping it; the sanitizer builds must not stop it first.
[[gnu::noinline]] __attribute__((no_sanitize("undefined"))) void ApplyDamage(int* pHealth, int amount)  // mark:ApplyDamage
{
    asm volatile("" : "+r"(pHealth));
    *pHealth -= amount;  // mark:fault
}

[[gnu::always_inline]] inline void Bite(int* pHealth)  // mark:Bite
{
    ApplyDamage(pHealth, 10);  // mark:call-ApplyDamage
}

[[gnu::always_inline]] inline void Attack()  // mark:Attack
{
    Bite(s_pTarget);  // mark:call-Bite
}

}  // namespace

int main()  // mark:main
{
    OruSetUnhandledException();  // the library is linked for its handler alone
    Attack();  // mark:call-Attack
    return 0;
}
