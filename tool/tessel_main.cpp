// Placeholder until the command set lands.
int main()
{
    return 2;
}
