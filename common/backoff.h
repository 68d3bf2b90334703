// A wait that doubles each time it is taken, from its first interval up to its last: a fault
// that passes is followed closely, one that lasts costs ever fewer tries and lines, at most one
// per last interval.
#pragma once

struct backoff {
    unsigned first, last;
    unsigned current = 0; // the wait last taken, 0 until one is

    // The wait to take now.
    unsigned next() {
        current = current == 0 ? first : current < last / 2 ? 2 * current : last;
        return current;
    }
    void reset() { current = 0; }
};
