// Qt Test's message handler reads the running row's name, which it frees when the row ends,
// without a lock: a line from a thread that outlives the row (a simulated phone's service
// still closing, the device watcher) can read it freed and end the test process.
#pragma once

namespace testlog {

// From now on, lines from threads other than the one running the tests go straight to
// standard error; the running thread's still reach the handler in place (Qt Test's, which
// counts them and matches QTest::ignoreMessage). Installing twice changes nothing.
void keepOtherThreadsOut();

} // namespace testlog
