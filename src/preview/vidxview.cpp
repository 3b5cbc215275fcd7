// (being written)
int main() { return 1; }
