// The package layer library; its concepts live in the files beside this one.
