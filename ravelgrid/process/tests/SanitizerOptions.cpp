// The memory-bound tests measure resident memory; AddressSanitizer's default
// quarantine would hold every freed chunk and hide what the code keeps.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=4";
}
