/* Exits 0: the cheapest command to start. */
int main(void) { return 0; }
