// Placeholder entry; the real one builds the Linux platform and runs the application.
int main() { return 0; }
