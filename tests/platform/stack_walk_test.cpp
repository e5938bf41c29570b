#include "platform/stack_walk.h"
#include "support/system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using oru::platform::FunctionNameWithoutParameters;

TEST(StackWalk, FunctionNamesLoseParametersQualifiersAndCloneSuffixes)
{
    EXPECT_EQ(FunctionNameWithoutParameters("ns::CMap::Load(int, char const*) const"), "ns::CMap::Load");
    EXPECT_EQ(FunctionNameWithoutParameters("Apply(int*, int) [clone .constprop.0]"), "Apply");
    EXPECT_EQ(FunctionNameWithoutParameters("Run() const [clone .isra.0] [clone .cold]"), "Run");
    EXPECT_EQ(FunctionNameWithoutParameters("CTask::operator()(int) &&"), "CTask::operator()");
    EXPECT_EQ(FunctionNameWithoutParameters("Call(void (*)(int), int)"), "Call");
    EXPECT_EQ(FunctionNameWithoutParameters("main"), "main");
}

void Collect(const oru::platform::CStackFrame& frame, void* pUser)
{
    static_cast<std::vector<oru::platform::CStackFrame>*>(pUser)->push_back(frame);
}

// The C start-up routine has no line information; the nearest earlier line
// record belongs to other code and must not be reported as its line.
TEST(StackWalk, FramesWithoutLineInformationGetNoBorrowedLine)
{
    oru::platform::MachineContext context;
    oru::platform::CaptureContext(context);
    std::vector<oru::platform::CStackFrame> frames;
    oru::platform::WalkStack(context, false, 0, 512, Collect, &frames);
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames.front().m_bLines);  // CaptureContext itself, built with -g
    const auto start = std::find_if(frames.begin(), frames.end(), [](const auto& frame) {
        return frame.m_bSymbol && std::strcmp(frame.m_szFunction, oru::test::EntryFunctionName()) == 0;
    });
    ASSERT_NE(start, frames.end()) << "the walk reaches the program's entry point";
    EXPECT_FALSE(start->m_bLines) << start->m_szFile << ":" << start->m_nLine;
}

}  // namespace
