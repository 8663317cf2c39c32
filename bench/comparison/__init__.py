"""Side-by-side timings of velqor and the simulators users already know.

- `gates`: the gate set, the random circuit and the QFT shared by every contender
- `contenders`: one module per simulator, each driven through its public Python API
- `agreement`: the checks every contender passes before it is timed
- `harness`: timing policies, best-of sampling and the worker processes
- `report`: Markdown tables, the plot and the description of the machine
- `cli`: arguments and the run as a whole (entry point: bench/compare.py)
"""
