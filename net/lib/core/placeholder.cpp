// Placeholder so the library target has a source until the core lands.
