// A driver program that ends at once, before it is up.
int main() { return 7; }
