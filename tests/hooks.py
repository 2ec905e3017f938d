"""Objects that answer the number protocols with a value of the test's choosing."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value
