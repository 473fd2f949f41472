// Placeholder until the trace log lands.
