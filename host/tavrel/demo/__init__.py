"""The demo site: the host side of single sign-on, runnable with `make demo`."""
