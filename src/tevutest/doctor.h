// tevutest --doctor: what a cabinet owner checks first.
#ifndef TEVUTEST_DOCTOR_H
#define TEVUTEST_DOCTOR_H

// Prints the report on standard output and returns the exit status: 0 all is
// well, 1 usable with warnings, 2 the controller cannot be used.
int doctor_run();

#endif
