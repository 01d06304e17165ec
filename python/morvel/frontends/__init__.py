"""What people reach the package through besides the Explainer: the command line, plots
and Dask scale-out."""
