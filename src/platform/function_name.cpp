// A function's name as a crash report's frame line shows it, the same on
// every system: the demangler's full signature cut to the qualified name.

#include "platform/stack_walk.h"

#include <string_view>

namespace oru::platform {

// "ns::Class::Run(int) const" becomes "ns::Class::Run": the frame line
// adds its own "()". Parentheses nest (function-pointer parameters,
// operator()), so the list is found by matching from the end.
std::string_view FunctionNameWithoutParameters(std::string_view name)
{
    static constexpr std::string_view QUALIFIERS[] = {" const", " volatile", " &&", " &"};
    static constexpr std::string_view CLONE = " [clone ";
    for (bool bCut = true; bCut;) {
        bCut = false;
        // An optimiser's specialised copy: "Run(int) [clone .constprop.0]".
        const size_t clone = name.rfind(CLONE);
        if (clone != std::string_view::npos && name.back() == ']') {
            name = name.substr(0, clone);
            bCut = true;
        }
        for (const std::string_view q : QUALIFIERS) {
            if (name.size() > q.size() && name.substr(name.size() - q.size()) == q) {
                name.remove_suffix(q.size());
                bCut = true;
            }
        }
    }
    if (name.empty() || name.back() != ')')
        return name;
    int depth = 0;
    for (size_t i = name.size(); i-- > 0;) {
        if (name[i] == ')')
            ++depth;
        else if (name[i] == '(' && --depth == 0)
            return i > 0 ? name.substr(0, i) : name;
    }
    return name;
}

}  // namespace oru::platform
