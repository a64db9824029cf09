"""What every local test server does once it listens: tell the test its port, then serve."""


def serve_announcing_port(server):
    # The tests read this one line to learn the port the system chose.
    print(f"PORT {server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
