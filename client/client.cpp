// Placeholder until the client library lands.
