#pragma once

// Counts the calls of global operator new (every form) and of pthread_mutex_lock made on any
// thread while a scope is open, so a test can show that a span allocates and locks nothing.
// The counts are process-wide: open one scope at a time; opening one zeroes them.
class CountingScope
{
public:
    CountingScope() { start(); }
    ~CountingScope() { stop(); }

    CountingScope(const CountingScope&) = delete;
    CountingScope& operator=(const CountingScope&) = delete;

    // Zeroes the counts and counts from here.
    void start();
    // Stops counting; the counts keep their values.
    void stop();

    long allocations() const;
    long locks() const;
};
