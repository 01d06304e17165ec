"""Running the native solvers for one row or many: the search and its checks, the
improvement of genetic rows, readable values, batches and certified regions."""
