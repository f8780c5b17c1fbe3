#include <chrono>
#include "WindowFixture.h"
using namespace pm::test;
TEST_F(WindowTest, zz_perf) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20000; ++i) form->AddStatus("line number " + std::to_string(i) + " with a bit of text for realism");
    auto t1 = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) form->AddStatus("more " + std::to_string(i));
    auto t2 = std::chrono::steady_clock::now();
    QApplication::processEvents();
    std::printf("first 20000: %lld ms, next 1000: %lld ms\n", (long long)std::chrono::duration_cast<std::chrono::milliseconds>(t1-t0).count(), (long long)std::chrono::duration_cast<std::chrono::milliseconds>(t2-t1).count());
}
