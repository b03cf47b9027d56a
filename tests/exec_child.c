/* exec_child.c - starts its arguments as a program: the child of a program of
 * its build's kind, for the preload tests. */
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc > 1)
		execvp(argv[1], argv + 1);
	return 127;
}
