// The baseline: a process that starts and ends, built by the same compiler with the same flags.
int main() { return 0; }
