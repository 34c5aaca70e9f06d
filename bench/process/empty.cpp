// The cost of starting a process and nothing else: under Wine its time is
// Wine's start-up, which the Windows figures are shown without.
int main() { return 0; }
