// Never run: the policy tests read only its version record.
int main()
{
    return 0;
}
