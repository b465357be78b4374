// ufw_make: wraps one file into an update file.
int main() { return 1; }
