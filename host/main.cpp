#include <cstdio>
int main() { std::puts("vestra"); return 0; }
