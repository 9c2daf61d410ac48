#include "request/Verdict.h"

RequestVerdict& ThreadVerdict()
{
    thread_local RequestVerdict t_verdict;
    return t_verdict;
}
