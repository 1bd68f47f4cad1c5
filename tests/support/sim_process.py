"""The simulator on a free loopback port for a Python test: `with SimProcess(program, args...) as
resource:` gives the SOCKET resource name and stops the simulator after the block."""
from __future__ import annotations

import subprocess


class SimProcess:
    def __init__(self, program: str, *args: str, env: dict[str, str] | None = None) -> None:
        self.command = [program, "--port", "0", *args]
        self.env = env

    def __enter__(self) -> str:
        self.p = subprocess.Popen(self.command, stdout=subprocess.PIPE, text=True, env=self.env)
        assert self.p.stdout is not None
        line = self.p.stdout.readline()
        if not line.startswith("listening on 127.0.0.1:"):
            self.p.kill()
            self.p.wait()
            raise RuntimeError(f"simulator did not start: {line!r}")
        return f"TCPIP0::127.0.0.1::{int(line.split(':')[1].split()[0])}::SOCKET"

    def __exit__(self, *exc: object) -> None:
        self.p.terminate()
        self.p.wait(timeout=10)
        if self.p.stdout is not None:
            self.p.stdout.close()
