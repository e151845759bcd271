// placeholder until this part lands
int main() { return 0; }
